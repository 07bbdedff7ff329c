// RemoteBackend::stream against curl reading the same 10,000-event stream from a loopback
// server. Each run opens a fresh connection, as the adapter does. The stream arrives in
// chunks of `events per chunk` events: 1 is how servers send tokens; 100 stresses the reader.
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <httplib.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "backends/sse.hpp"
#include "kestrune/backends/remote.hpp"
#include "platform/net/http.hpp"
#include "platform/os/process.hpp"

namespace {

using kestrune::backends::RemoteBackend;

constexpr int kEvents = 10'000;
constexpr const char* kPiece = "tok ";
const std::string kRequestBody =
    R"({"model":"","messages":[{"role":"user","content":"go"}],"max_tokens":512,)"
    R"("temperature":0.7,"stream":true})";

std::string event(int index) {
    return R"(data: {"id":"chatcmpl-1","object":"chat.completion.chunk","created":1700000000,)"
           R"("model":"bench","choices":[{"index":0,"delta":{"content":"tok "},)"
           R"("finish_reason":null}],"n":)" +
           std::to_string(index) + "}\n\n";
}

class StreamServer {
  public:
    StreamServer() {
        for (int i = 0; i < kEvents; ++i) {
            events_.push_back(event(i));
        }
        server_.Post(R"(/chunk/(\d+)/v1/chat/completions)", [this](const httplib::Request& request,
                                                                   httplib::Response& response) {
            const std::size_t per_chunk = std::stoul(request.matches[1]);
            response.set_chunked_content_provider(
                "text/event-stream", [this, per_chunk](std::size_t, httplib::DataSink& sink) {
                    return send_events(per_chunk, sink);
                });
        });
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        while (!server_.is_running()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    ~StreamServer() {
        server_.stop();
        thread_.join();
    }
    StreamServer(const StreamServer&) = delete;
    StreamServer& operator=(const StreamServer&) = delete;

    std::string base(int per_chunk) const {
        return "http://127.0.0.1:" + std::to_string(port_) + "/chunk/" + std::to_string(per_chunk);
    }

  private:
    bool send_events(std::size_t per_chunk, httplib::DataSink& sink) const {
        std::string chunk;
        for (std::size_t i = 0; i < events_.size(); ++i) {
            chunk += events_[i];
            if ((i + 1) % per_chunk == 0 || i + 1 == events_.size()) {
                if (!sink.write(chunk.data(), chunk.size())) {
                    return false;
                }
                chunk.clear();
            }
        }
        const std::string done = "data: [DONE]\n\n";
        sink.write(done.data(), done.size());
        sink.done();
        return true;
    }

    std::vector<std::string> events_;
    httplib::Server server_;
    int port_ = 0;
    std::thread thread_;
};

StreamServer& server() {
    static StreamServer instance;
    return instance;
}

void BM_RemoteBackendStream(benchmark::State& state) {
    RemoteBackend remote(server().base(static_cast<int>(state.range(0))));
    const std::size_t expected = kEvents * std::string(kPiece).size();
    for (auto _ : state) {
        const std::string text = remote.stream({{"user", "go"}}, {}).collect();
        if (text.size() != expected) {
            state.SkipWithError("the stream lost pieces");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * kEvents);
}

// The HTTP layer alone: every line of the same answer, no event parsing.
void BM_HttpLines(benchmark::State& state) {
    namespace http = kestrune::platform::http;
    http::Request request;
    request.method = "POST";
    request.url = server().base(static_cast<int>(state.range(0))) + "/v1/chat/completions";
    request.headers = {{"Content-Type", "application/json"}};
    request.body = kRequestBody;
    for (auto _ : state) {
        auto answer = http::ResponseStream::open(request);
        std::size_t lines = 0;
        while (answer.next_line()) {
            ++lines;
        }
        benchmark::DoNotOptimize(lines);
    }
    state.SetItemsProcessed(state.iterations() * kEvents);
}

// The event reader alone, on the same lines held in memory.
void BM_ContentPieces(benchmark::State& state) {
    std::vector<std::string> lines;
    for (int i = 0; i < kEvents; ++i) {
        lines.push_back(event(i).substr(0, event(i).size() - 2));
        lines.emplace_back();
    }
    for (auto _ : state) {
        std::size_t total = 0;
        for (const auto& line : lines) {
            total += kestrune::backends::sse::content_piece(
                         line, kestrune::backends::sse::OnMalformed::skip)
                         .size();
        }
        benchmark::DoNotOptimize(total);
    }
    state.SetItemsProcessed(state.iterations() * kEvents);
}

std::size_t count_bytes(char*, std::size_t size, std::size_t count, void* total) {
    *static_cast<std::size_t*>(total) += size * count;
    return size * count;
}

void BM_CurlEasy(benchmark::State& state) {
    const std::string url =
        server().base(static_cast<int>(state.range(0))) + "/v1/chat/completions";
    for (auto _ : state) {
        std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(),
                                                                 &curl_easy_cleanup);
        curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/json");
        std::size_t total = 0;
        curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl.get(), CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDS, kRequestBody.c_str());
        curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, &count_bytes);
        curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &total);
        const CURLcode code = curl_easy_perform(curl.get());
        curl_slist_free_all(headers);
        if (code != CURLE_OK || total == 0) {
            state.SkipWithError("curl failed");
            break;
        }
        benchmark::DoNotOptimize(total);
    }
    state.SetItemsProcessed(state.iterations() * kEvents);
}

void BM_CurlProgram(benchmark::State& state) {
    const std::string url =
        server().base(static_cast<int>(state.range(0))) + "/v1/chat/completions";
    for (auto _ : state) {
        const auto result = kestrune::platform::process::run(
            {"curl", "-sS", "-N", "-o", "/dev/null", "-H", "Content-Type: application/json", "-d",
             kRequestBody, url},
            std::chrono::seconds(60));
        if (result.exit_code != 0) {
            state.SkipWithError("curl failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * kEvents);
}

BENCHMARK(BM_RemoteBackendStream)->Arg(1)->Arg(100)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ContentPieces)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HttpLines)->Arg(1)->Arg(100)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CurlEasy)->Arg(1)->Arg(100)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CurlProgram)->Arg(1)->Arg(100)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
