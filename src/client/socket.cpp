// socket.cpp: the owning handle of one socket descriptor.
#include "client/socket.h"

#include <unistd.h>

namespace latchwork {

void Socket::reset() noexcept {
    if (fd_ >= 0) {
        // Not retried on EINTR: on Linux the descriptor is released even then, and a
        // second close could hit a descriptor another thread has just been given.
        ::close(fd_);
        fd_ = -1;
    }
}

}  // namespace latchwork
