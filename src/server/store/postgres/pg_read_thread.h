// pg_read_thread.h: the console's reads of the shared store, served on a thread and connection of their own.
//
// A read is a round trip to the database, and a database may stop answering: on the
// network thread one read could hold up every client. Here the network thread only
// queues a job; the thread runs the jobs in turn on its own connection, each within
// the store's timeout, and each job posts its result back itself.
//
// The queue holds at most kMostWaiting jobs: a read beyond them is refused at once
// (the console answers 503), so a silent database costs at most that many waiting
// reads, never a queue that grows without end. Once a read finds the database silent
// or unreachable, the reads queued behind it fail at once rather than each waiting the
// timeout again.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "server/store/postgres/pg_connection.h"

namespace latchwork::server {

class PgReadThread {
public:
    static constexpr std::size_t kMostWaiting = 64;

    // Runs on the thread with the connection, or with null and why there is none.
    using Job = std::function<void(PgConnection* connection, const std::string& why_not)>;
    // `away` says why the database is known to be away (the store's batcher lost it), so
    // that reads fail at once instead of waiting for the same failure.
    PgReadThread(std::string conninfo, std::chrono::milliseconds timeout, NotNow away);
    // Stops the thread and waits for it: at most the read under way, which the timeout bounds.
    ~PgReadThread();
    PgReadThread(const PgReadThread&) = delete;
    PgReadThread& operator=(const PgReadThread&) = delete;

    // Queues `job`, starting the thread on first use; false when the queue is full or
    // the thread is stopping (the job is not run).
    bool submit(Job job);
    // Lets the thread end once its job under way is done; jobs still queued are dropped.
    void request_stop();

private:
    void run();
    PgConnection* connection(std::string& why_not);

    const std::string conninfo_;
    const std::chrono::milliseconds timeout_;
    const NotNow away_;
    std::optional<PgConnection> connection_;  // the thread's own
    std::string failed_;       // why the last read found no database
    std::size_t fail_fast_ = 0;  // the jobs queued behind that read, which fail with it

    std::mutex mutex_;  // guards what follows up to thread_
    std::condition_variable wake_;
    std::deque<Job> jobs_;  // at most kMostWaiting
    bool stopping_ = false;

    std::thread thread_;  // last: it stops before the rest goes
};

}  // namespace latchwork::server
