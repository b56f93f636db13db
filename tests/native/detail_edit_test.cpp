// detail_edit_test.cpp: which changes of a detail keep to its editable members.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/core/detail_edit.h"

namespace latchwork::server {
namespace {

TEST(DetailEdit, OnlyTheNamedMembersMayDiffer) {
    struct Case {
        std::string_view original, edited;
        std::vector<std::string> editable;
        bool allowed;
    };
    const std::string original = R"({"a":{"b/c":1,"d~e":2},"list":[1,2,3],"n":1})";
    for (const Case& c : {
             Case{original, R"({"a":{"b/c":9,"d~e":2},"list":[1,2,3],"n":1})", {"/a/b~1c"}, true},
             Case{original, R"({"a":{"b/c":1,"d~e":9},"list":[1,2,3],"n":1})", {"/a/d~0e"}, true},
             Case{original, R"({"a":{"b/c":1,"d~e":9},"list":[1,2,3],"n":1})", {"/a/b~1c"}, false},
             Case{original, R"({"a":{"b/c":1,"d~e":2},"list":[1,7,3],"n":1})", {"/list/1"}, true},
             Case{original, R"({"a":{"b/c":1,"d~e":2},"list":[1,2],"n":1})", {"/list/2"}, false},
             Case{original, R"({"a":{"b/c":1,"d~e":2},"list":[1,2,3],"n":1,"x":0})", {"/x"}, true},
             Case{original, R"({"a":{"b/c":1,"d~e":2},"list":[1,2,3]})", {"/n"}, true},
             Case{original, R"({"a":{},"list":[1,2,3],"n":1})", {"/a"}, true},
             Case{original, R"({"a":{},"list":[1,2,3],"n":2})", {"/a"}, false},
             Case{original, R"({"n":1})", {}, false},
         }) {
        EXPECT_EQ(!edit_refusal(c.original, c.edited, c.editable).has_value(), c.allowed) << c.edited;
    }
    EXPECT_EQ(edit_refusal(original, R"({"n":2})", std::vector<std::string>{"/x", "/y"}),
              std::optional<std::string>("only /x, /y may be changed"));
}

TEST(DetailEdit, EditableIsAShortArrayOfPointers) {
    EXPECT_EQ(read_editable(R"(["/a","/b~1c",""])").value(), (std::vector<std::string>{"/a", "/b~1c", ""}));
    for (const std::string& raw : {std::string(R"("/a")"), std::string(R"([1])"), std::string(R"(["a"])"),
                                  std::string(R"(["/a~"])"), std::string(R"(["/a~2"])"),
                                  "[\"/" + std::string(256, 'x') + "\"]"}) {
        EXPECT_FALSE(read_editable(raw).ok()) << raw;
    }
    std::string most = "[";
    for (int i = 0; i < 65; ++i) most += std::string(i ? "," : "") + "\"/a\"";
    EXPECT_FALSE(read_editable(most + "]").ok());
}

}  // namespace
}  // namespace latchwork::server
