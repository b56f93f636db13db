// The parts of the shared store that need no database: names shown, array
// parameters, and the run lock keys every server must agree on.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "server/store/by_url/store_name.h"

#if LATCHWORK_WITH_POSTGRESQL
#include "server/store/postgres/pg_arrays.h"
#include "server/store/postgres/pg_batch.h"
#endif

namespace latchwork::server {
namespace {

struct ShownCase {
    const char* url;
    const char* shown;
};

class ShownStoreUrl : public testing::TestWithParam<ShownCase> {};

TEST_P(ShownStoreUrl, HidesEveryPassword) {
    EXPECT_EQ(shown_store_url(GetParam().url), GetParam().shown);
}

INSTANTIATE_TEST_SUITE_P(
    Urls, ShownStoreUrl,
    testing::Values(
        ShownCase{"postgresql://gate@db.example:5432/gates", "postgresql://gate@db.example:5432/gates"},
        ShownCase{"postgresql://gate:s3cret@db/gates", "postgresql://gate:***@db/gates"},
        ShownCase{"postgres://gate:p@ss@db/gates", "postgres://gate:***@db/gates"},
        ShownCase{"postgresql://gate:pw@db", "postgresql://gate:***@db"},
        ShownCase{"postgresql:///gates?host=/run/pg&password=x&sslmode=require",
                  "postgresql:///gates?host=/run/pg&password=***&sslmode=require"},
        ShownCase{"postgresql://db/gates?password=", "postgresql://db/gates?password=***"},
        // The host part's own ':' (a port) is not a password.
        ShownCase{"postgresql://db:5432/gates", "postgresql://db:5432/gates"},
        ShownCase{"sqlite:/var/lib/gate.db", "sqlite:/var/lib/gate.db"}));

TEST(StoreName, TellsPostgresqlUrls) {
    EXPECT_TRUE(is_postgresql_url("postgresql://db/x"));
    EXPECT_TRUE(is_postgresql_url("postgres://db/x"));
    EXPECT_FALSE(is_postgresql_url("postgresql:db"));
    EXPECT_FALSE(is_postgresql_url("sqlite:postgresql://x"));
}

#if LATCHWORK_WITH_POSTGRESQL

TEST(PgArrays, ByteaLiteralCarriesEveryByte) {
    const std::string zero_and_high("\0\xff\"\\", 4);
    const std::vector<std::string_view> values = {"", "hi", zero_and_high};
    EXPECT_EQ(bytea_array(values), R"({"\\x","\\x6869","\\x00ff225c"})");
    EXPECT_EQ(bytea_array({}), "{}");
}

TEST(PgArrays, TextLiteralQuotesEveryElement) {
    const std::vector<std::string_view> values = {"held", "line:[::1]:5000", "a\"b\\c", "", "{,}"};
    EXPECT_EQ(text_array(values), R"({"held","line:[::1]:5000","a\"b\\c","","{,}"})");
    EXPECT_EQ(bool_array({true, false}), "{t,f}");
    EXPECT_EQ(bytea_text(std::string_view("\0A", 2)), "\\x0041");
}

TEST(PgArrays, IntegerLiteral) {
    const std::vector<std::int64_t> values = {0, -2128831035, 9'000'000'000};
    EXPECT_EQ(integer_array(values), "{0,-2128831035,9000000000}");
}

// Servers of different builds share one database: a run's lock key may never change,
// or two of them would decide the same run at once.
TEST(RunLockKey, IsFixedForever) {
    EXPECT_EQ(run_lock_key(""), -2128831035);
    EXPECT_EQ(run_lock_key("a"), -468965076);
    EXPECT_EQ(run_lock_key("run-1"), 1016944636);
    EXPECT_EQ(run_lock_key("r/\xc3\xa9"), -1038247174);
}

#endif

}  // namespace
}  // namespace latchwork::server
