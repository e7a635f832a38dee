// Small owners for what a capture takes: a descriptor, a heap block. Each
// gives its resource back when it goes out of scope, so every failing path of
// a frame releases everything it took.
#pragma once

#include <cstdlib>
#include <unistd.h>

// An open file descriptor; -1 when none.
class unique_fd {
public:
    explicit unique_fd(int fd = -1) : fd_(fd) {}
    ~unique_fd() { reset(); }
    unique_fd(const unique_fd &) = delete;
    unique_fd &operator=(const unique_fd &) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    void reset(int fd = -1)
    {
        if (fd_ >= 0)
            close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

// A malloc'ed block; null when none.
class heap_block {
public:
    explicit heap_block(size_t size = 0)
        : p_(size ? static_cast<unsigned char *>(malloc(size)) : nullptr)
    {
    }
    ~heap_block() { free(p_); }
    heap_block(const heap_block &) = delete;
    heap_block &operator=(const heap_block &) = delete;
    heap_block(heap_block &&other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    heap_block &operator=(heap_block &&other) noexcept
    {
        if (this != &other) {
            free(p_);
            p_ = other.p_;
            other.p_ = nullptr;
        }
        return *this;
    }

    unsigned char *get() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }

private:
    unsigned char *p_;
};
