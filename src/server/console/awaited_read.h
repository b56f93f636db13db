// awaited_read.h: a store's asynchronous read, awaited by a console coroutine.
#pragma once

#include <boost/asio/async_result.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <memory>
#include <utility>

#include "server/store/store.h"
#include "support/result.h"

namespace latchwork::server {

// Starts a read with `start(ReadDone<T>)` and resumes with its result. The result
// is posted to the coroutine's executor, so a store that completes before returning
// resumes it the same way as one that completes later.
template <class T, class Start>
boost::asio::awaitable<Result<T>> awaited_read(Start start) {
    auto executor = co_await boost::asio::this_coro::executor;
    co_return co_await boost::asio::async_initiate<decltype(boost::asio::use_awaitable), void(Result<T>)>(
        [executor, start = std::move(start)](auto handler) mutable {
            // ReadDone is a std::function, which copies: the handler, which moves
            // only, is held once and shared.
            auto held = std::make_shared<decltype(handler)>(std::move(handler));
            start(ReadDone<T>([executor, held](Result<T> got) {
                boost::asio::post(executor, [held, got = std::move(got)]() mutable {
                    (*held)(std::move(got));
                });
            }));
        },
        boost::asio::use_awaitable);
}

}  // namespace latchwork::server
