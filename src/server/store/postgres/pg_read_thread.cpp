// pg_read_thread.cpp: the console's reads of the shared store, served on a thread and connection of their own.
#include "server/store/postgres/pg_read_thread.h"

#include <utility>

namespace latchwork::server {

PgReadThread::PgReadThread(std::string conninfo, std::chrono::milliseconds timeout, NotNow away)
    : conninfo_(std::move(conninfo)), timeout_(timeout), away_(std::move(away)) {}

PgReadThread::~PgReadThread() {
    request_stop();
    if (thread_.joinable()) thread_.join();
}

void PgReadThread::request_stop() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
        jobs_.clear();
    }
    wake_.notify_one();
}

bool PgReadThread::submit(Job job) {
    {
        const std::lock_guard lock(mutex_);
        if (stopping_ || jobs_.size() >= kMostWaiting) return false;
        jobs_.push_back(std::move(job));
        if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
    }
    wake_.notify_one();
    return true;
}

PgConnection* PgReadThread::connection(std::string& why_not) {
    return kept_or_opened(connection_, conninfo_, timeout_, away_, why_not);
}

void PgReadThread::run() {
    for (;;) {
        Job job;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
            if (stopping_) return;
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        std::string why_not;
        PgConnection* reading = nullptr;
        if (fail_fast_ > 0) {
            --fail_fast_;
            why_not = failed_;
        } else {
            reading = connection(why_not);
        }
        job(reading, why_not);
        if (fail_fast_ == 0 && (reading == nullptr || !reading->usable())) {
            failed_ = reading == nullptr ? why_not : "the read before it lost the database";
            const std::lock_guard lock(mutex_);
            fail_fast_ = jobs_.size();
        }
    }
}

}  // namespace latchwork::server
