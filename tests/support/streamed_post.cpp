#include "support/streamed_post.hpp"

#include <httplib.h>

#include <utility>

namespace kestrune::testing {

StreamedPost::StreamedPost(int port, std::string path, std::string body) {
    status_ = std::async(std::launch::async,
                         [this, port, path = std::move(path), body = std::move(body)] {
                             httplib::Client client("127.0.0.1", port);
                             client.set_read_timeout(120, 0);
                             httplib::Request request;
                             request.method = "POST";
                             request.path = path;
                             request.body = body;
                             request.set_header("Content-Type", "application/json");
                             request.response_handler = [this](const httplib::Response&) {
                                 headers_.open();
                                 return true;
                             };
                             request.content_receiver = [this](const char* data, std::size_t size,
                                                               std::uint64_t, std::uint64_t) {
                                 {
                                     std::lock_guard lock(mutex_);
                                     body_.append(data, size);
                                 }
                                 body_started_.open();
                                 return true;
                             };
                             const auto result = client.send(request);
                             return result ? result->status : 0;
                         });
}

StreamedPost::~StreamedPost() {
    if (status_.valid()) {
        status_.wait();
    }
}

StreamedPost::Answer StreamedPost::finish() {
    const int status = status_.get();
    std::lock_guard lock(mutex_);
    return {.status = status, .body = body_};
}

}  // namespace kestrune::testing
