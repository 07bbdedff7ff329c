// TextStream: the lazy stream of text pieces that generation and streaming calls return.
//
// A TextStream is a coroutine generator. Nothing in its body runs before the first pull; a
// failure is thrown at the pull where it happens, after the pieces already delivered;
// destroying the stream destroys the coroutine frame, which releases whatever the body holds
// (an open HTTP answer, a library iterator). Use it in a range-for or pull with next().
//
// Writing one: a function returning TextStream that uses co_yield. Take arguments by value —
// the frame keeps copies of parameters, but a lambda coroutine's captures are not copied.
#pragma once

#include <coroutine>
#include <exception>
#include <optional>
#include <string>
#include <utility>

#include "kestrune/core/export.hpp"

namespace kestrune {

class KESTRUNE_API TextStream {
  public:
    struct promise_type {
        std::string current;
        std::exception_ptr failure;

        TextStream get_return_object() {
            return TextStream{std::coroutine_handle<promise_type>::from_promise(*this)};
        }
        std::suspend_always initial_suspend() noexcept { return {}; }
        std::suspend_always final_suspend() noexcept { return {}; }
        std::suspend_always yield_value(std::string piece) {
            current = std::move(piece);
            return {};
        }
        void return_void() {}
        void unhandled_exception() { failure = std::current_exception(); }
    };

    class iterator {
      public:
        using value_type = std::string;
        using difference_type = std::ptrdiff_t;

        iterator() = default;
        explicit iterator(TextStream* stream) : stream_(stream) { advance(); }

        const std::string& operator*() const { return piece_; }
        iterator& operator++() {
            advance();
            return *this;
        }
        void operator++(int) { advance(); }
        bool operator==(std::default_sentinel_t) const { return stream_ == nullptr; }

      private:
        void advance() {
            auto piece = stream_->next();
            if (piece) {
                piece_ = std::move(*piece);
            } else {
                stream_ = nullptr;
            }
        }

        TextStream* stream_ = nullptr;
        std::string piece_;
    };

    TextStream() = default;
    TextStream(TextStream&& other) noexcept : handle_(std::exchange(other.handle_, {})) {}
    TextStream& operator=(TextStream&& other) noexcept {
        if (this != &other) {
            reset();
            handle_ = std::exchange(other.handle_, {});
        }
        return *this;
    }
    TextStream(const TextStream&) = delete;
    TextStream& operator=(const TextStream&) = delete;
    ~TextStream() { reset(); }

    // The next non-empty piece, or nullopt once the stream has ended. Rethrows the body's failure
    // at the pull where it happened; the stream is ended afterwards.
    std::optional<std::string> next() {
        if (!handle_ || handle_.done()) {
            return std::nullopt;
        }
        auto& promise = handle_.promise();
        // Pieces are never empty: an empty yield is passed over.
        do {
            handle_.resume();
            if (promise.failure) {
                auto failure = std::exchange(promise.failure, nullptr);
                reset();
                std::rethrow_exception(failure);
            }
            if (handle_.done()) {
                return std::nullopt;
            }
        } while (promise.current.empty());
        return std::move(promise.current);
    }

    // Every remaining piece, joined.
    std::string collect() {
        std::string text;
        while (auto piece = next()) {
            text += *piece;
        }
        return text;
    }

    iterator begin() { return iterator{this}; }
    std::default_sentinel_t end() { return {}; }

  private:
    explicit TextStream(std::coroutine_handle<promise_type> handle) : handle_(handle) {}

    void reset() {
        if (handle_) {
            handle_.destroy();
            handle_ = {};
        }
    }

    std::coroutine_handle<promise_type> handle_;
};

}  // namespace kestrune
