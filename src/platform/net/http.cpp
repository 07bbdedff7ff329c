#include "platform/net/http.hpp"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <exception>
#include <initializer_list>
#include <limits>

#include "core/text.hpp"

namespace kestrune::platform::http {

namespace {

using Clock = std::chrono::steady_clock;

// libcurl must be initialised once per process before any handle exists; a function-local
// static makes that thread-safe.
void ensure_curl_initialised() {
    struct Global {
        CURLcode code = curl_global_init(CURL_GLOBAL_DEFAULT);
        ~Global() {
            if (code == CURLE_OK) {
                curl_global_cleanup();
            }
        }
    };
    static const Global global;
    if (global.code != CURLE_OK) {
        throw HttpError(std::string("libcurl could not be initialised: ") +
                        curl_easy_strerror(global.code));
    }
}

struct EasyDeleter {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct MultiDeleter {
    void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};
struct ListDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
struct UrlDeleter {
    void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
struct CurlTextDeleter {
    void operator()(char* text) const { curl_free(text); }
};

bool equal_ignoring_case(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    });
}

std::optional<std::string> find_header(const Headers& headers, std::string_view name) {
    for (const auto& [key, value] : headers) {
        if (equal_ignoring_case(key, name)) {
            return value;
        }
    }
    return std::nullopt;
}

std::string lower_case(std::string_view text) {
    std::string lower(text);
    std::ranges::transform(lower, lower.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower;
}

// Whether a query parameter of this name likely carries a secret.
bool names_a_credential(std::string_view name) {
    const std::string lower = lower_case(name);
    return std::ranges::any_of(
        std::initializer_list<std::string_view>{"token", "key", "secret", "pass", "sig", "auth",
                                                "credential"},
        [&](std::string_view word) { return lower.find(word) != std::string::npos; });
}

std::string redacted_query(std::string_view query) {
    std::string redacted;
    while (true) {
        const std::size_t end = std::min(query.find('&'), query.size());
        const std::string_view parameter = query.substr(0, end);
        const std::size_t equals = parameter.find('=');
        if (equals != std::string_view::npos && names_a_credential(parameter.substr(0, equals))) {
            redacted.append(parameter.substr(0, equals + 1)) += "***";
        } else {
            redacted.append(parameter);
        }
        if (end == query.size()) {
            return redacted;
        }
        redacted += '&';
        query.remove_prefix(end + 1);
    }
}

// Characters of a bearer credential (RFC 6750 token68), where a quoted one ends.
bool is_token_character(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 ||
           std::string_view("-._~+/=").find(c) != std::string_view::npos;
}

bool is_success(long status) {
    return status >= 200 && status < 300;
}

// "64 MiB", "16 KiB" or "1000 bytes": limits as people set them.
std::string size_text(std::size_t bytes) {
    if (bytes != 0 && bytes % (std::size_t{1} << 20) == 0) {
        return std::to_string(bytes >> 20) + " MiB";
    }
    if (bytes != 0 && bytes % (std::size_t{1} << 10) == 0) {
        return std::to_string(bytes >> 10) + " KiB";
    }
    return std::to_string(bytes) + " bytes";
}

// Header lines for libcurl. A header with an empty value needs the "Name;" form; "Expect:"
// stops libcurl from waiting for "100 Continue" before sending large bodies.
std::unique_ptr<curl_slist, ListDeleter> header_list(const Headers& headers) {
    std::unique_ptr<curl_slist, ListDeleter> list;
    const auto append = [&](const std::string& line) {
        curl_slist* grown = curl_slist_append(list.get(), line.c_str());
        if (grown == nullptr) {
            throw HttpError("out of memory while preparing an HTTP request");
        }
        if (!list) {
            list.reset(grown);  // later appends return the same head
        }
    };
    for (const auto& [name, value] : headers) {
        append(value.empty() ? name + ";" : name + ": " + value);
    }
    if (!find_header(headers, "Expect")) {
        append("Expect:");
    }
    return list;
}

// One exchange driven through the multi interface on the caller's thread. It receives the
// header blocks of every answer (redirects included) and keeps those of the final one; the
// final answer's body collects in a buffer its readers consume from.
class Transfer {
  public:
    explicit Transfer(const Request& request)
        : url_(request.url),
          idle_timeout_(request.idle_timeout),
          follow_redirects_(request.follow_redirects),
          max_error_body_(request.max_error_body),
          cancelled_(request.cancelled) {
        ensure_curl_initialised();
        multi_.reset(curl_multi_init());
        easy_.reset(curl_easy_init());
        if (!multi_ || !easy_) {
            throw HttpError("libcurl could not create a transfer");
        }
        request_headers_ = header_list(request.headers);
        configure(request);
        if (curl_multi_add_handle(multi_.get(), easy_.get()) != CURLM_OK) {
            throw HttpError("libcurl could not start a transfer");
        }
        attached_ = true;
    }

    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;
    ~Transfer() { detach(); }

    const std::string& url() const { return url_; }
    long status() const { return status_; }
    const Headers& headers() const { return headers_; }
    bool headers_final() const { return headers_final_; }
    bool finished() const { return finished_; }

    std::string& body() { return body_; }

    // A successful answer's body longer than this fails the exchange (whole-body reads).
    void limit_body(std::size_t bytes) { max_body_ = bytes; }

    // Drives the exchange until `done()` holds or it ends (successfully or not). A wait for
    // data begins here: time the caller spent between pulls does not count against it.
    template <class Done>
    void run_until(Done done) {
        note_activity();
        while (!finished_ && !done()) {
            step();
        }
    }
    void run_to_end() {
        run_until([] { return false; });
    }
    // Drives the exchange until more body bytes arrived or it ended.
    void receive_more() {
        const std::size_t before = body_.size();
        run_until([&] { return body_.size() != before; });
    }

    // Rethrows what ended the exchange, if it failed.
    void rethrow_failure() const {
        if (failure_) {
            std::rethrow_exception(failure_);
        }
    }

    // A status outside 2xx is an error carrying the whole body of the answer, even if the
    // transport broke while it was being read.
    void throw_if_error_status() {
        if (headers_final_ && !is_success(status_)) {
            run_to_end();
            throw StatusError(status_, std::move(body_));
        }
    }

  private:
    void configure(const Request& request) {
        set(CURLOPT_URL, request.url.c_str());
        set(CURLOPT_ERRORBUFFER, error_text_);
        set(CURLOPT_HTTPHEADER, request_headers_.get());
        set(CURLOPT_FOLLOWLOCATION, request.follow_redirects ? 1L : 0L);
        set(CURLOPT_MAXREDIRS, 20L);
        set(CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
        set(CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(request.connect_timeout.count()));
        if (request.method == "HEAD") {
            set(CURLOPT_NOBODY, 1L);
        } else if (request.method == "GET" && request.body.empty()) {
            set(CURLOPT_HTTPGET, 1L);
        } else {
            set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
            set(CURLOPT_COPYPOSTFIELDS, request.body.c_str());
            if (request.method != "POST") {
                set(CURLOPT_CUSTOMREQUEST, request.method.c_str());
            }
        }
        set(CURLOPT_HEADERFUNCTION, &Transfer::on_header);
        set(CURLOPT_HEADERDATA, this);
        set(CURLOPT_WRITEFUNCTION, &Transfer::on_body);
        set(CURLOPT_WRITEDATA, this);
        set(CURLOPT_PREREQFUNCTION, &Transfer::on_connected);
        set(CURLOPT_PREREQDATA, this);
        set(CURLOPT_NOPROGRESS, 0L);
        set(CURLOPT_XFERINFOFUNCTION, &Transfer::on_progress);
        set(CURLOPT_XFERINFODATA, this);
        set(CURLOPT_SOCKOPTFUNCTION, &Transfer::on_connecting);
        set(CURLOPT_SOCKOPTDATA, this);
    }

    template <class Value>
    void set(CURLoption option, Value value) {
        const CURLcode code = curl_easy_setopt(easy_.get(), option, value);
        if (code != CURLE_OK) {
            throw HttpError("HTTP request to " + printable_url(url_) +
                            " cannot be prepared: " + curl_easy_strerror(code));
        }
    }

    // One round: let libcurl work on what is ready; if nothing came, wait for the socket, no
    // longer than the idle time-out allows.
    void step() {
        const std::size_t received_before = received_;
        int running = 0;
        const CURLMcode code = curl_multi_perform(multi_.get(), &running);
        if (callback_failure_) {
            fail(std::exchange(callback_failure_, nullptr));
            return;
        }
        if (code != CURLM_OK) {
            fail(std::make_exception_ptr(HttpError("HTTP request to " + printable_url(url_) +
                                                   " failed: " + curl_multi_strerror(code))));
            return;
        }
        collect_result();
        if (finished_ || received_ != received_before) {
            return;
        }
        if (cancelled_ && cancelled_()) {
            fail(std::make_exception_ptr(
                Cancelled("HTTP request to " + printable_url(url_) + " was cancelled")));
            return;
        }
        // Before connecting, libcurl's connect time-out wakes us earlier.
        int wait_ms = cancelled_ ? 100 : 1000;
        if (connected_ && idle_timeout_.count() > 0) {
            const auto idle = Clock::now() - last_activity_;
            if (idle >= idle_timeout_) {
                fail(std::make_exception_ptr(
                    Timeout("no data from " + printable_url(url_) + " for " +
                            std::to_string(idle_timeout_.count()) + " ms (idle time-out)")));
                return;
            }
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(idle_timeout_ - idle);
            wait_ms =
                static_cast<int>(std::min<std::chrono::milliseconds::rep>(left.count(), wait_ms));
        }
        curl_multi_poll(multi_.get(), nullptr, 0, wait_ms, nullptr);
    }

    void collect_result() {
        int left = 0;
        while (CURLMsg* message = curl_multi_info_read(multi_.get(), &left)) {
            if (message->msg != CURLMSG_DONE) {
                continue;
            }
            const CURLcode result = message->data.result;
            if (result != CURLE_OK) {
                fail(classify(result));
                return;
            }
            if (!headers_final_) {
                // The last answer had no usable header block (HEAD, HTTP/0.9): take what
                // libcurl saw.
                curl_easy_getinfo(easy_.get(), CURLINFO_RESPONSE_CODE, &status_);
                headers_final_ = true;
            }
            finished_ = true;
            detach();
        }
    }

    std::exception_ptr classify(CURLcode result) const {
        const std::string url = printable_url(url_);
        const std::string detail =
            error_text_[0] != '\0' ? error_text_ : curl_easy_strerror(result);
        switch (result) {
            case CURLE_COULDNT_RESOLVE_HOST:
            case CURLE_COULDNT_RESOLVE_PROXY:
            case CURLE_COULDNT_CONNECT:
                return std::make_exception_ptr(Unreachable("cannot reach " + url + ": " + detail));
            case CURLE_OPERATION_TIMEDOUT:
                // No overall time-out is set, so before a connection stands this is the connect
                // time-out; after it, a stall libcurl noticed itself.
                if (!connected_) {
                    return std::make_exception_ptr(
                        Unreachable("cannot reach " + url + ": " + detail));
                }
                return std::make_exception_ptr(
                    Timeout("timed out waiting for " + url + ": " + detail));
            default:
                return std::make_exception_ptr(
                    HttpError("HTTP request to " + url + " failed: " + detail));
        }
    }

    void fail(std::exception_ptr failure) {
        failure_ = std::move(failure);
        finished_ = true;
        detach();  // closes the connection at once
    }

    void detach() {
        if (attached_) {
            curl_multi_remove_handle(multi_.get(), easy_.get());
            attached_ = false;
        }
    }

    void header_line(std::string_view line) {
        if (line.starts_with("HTTP/")) {
            // A new answer begins (after "100 Continue" or a redirect): forget the last one.
            headers_.clear();
            const auto space = line.find(' ');
            status_ =
                space == std::string_view::npos
                    ? 0
                    : std::strtol(std::string(line.substr(space + 1, 3)).c_str(), nullptr, 10);
            in_block_ = true;
            return;
        }
        if (!in_block_) {
            return;  // trailers after the body
        }
        const std::string_view content = text::trim_whitespace(line);
        if (content.empty()) {
            in_block_ = false;
            headers_final_ = !is_interim_answer();
            return;
        }
        if ((line.front() == ' ' || line.front() == '\t') && !headers_.empty()) {
            headers_.back().second += " " + std::string(content);  // folded continuation
            return;
        }
        const auto colon = content.find(':');
        if (colon == std::string_view::npos) {
            return;
        }
        headers_.emplace_back(std::string(text::trim_whitespace(content.substr(0, colon))),
                              std::string(text::trim_whitespace(content.substr(colon + 1))));
    }

    // Whether another answer follows this one: informational answers, and redirects that
    // libcurl is following.
    bool is_interim_answer() const {
        if (status_ < 200) {
            return true;
        }
        if (follow_redirects_ && status_ >= 300 && status_ < 400) {
            const auto location = find_header(headers_, "Location");
            return location && !location->empty();
        }
        return false;
    }

    void note_activity() { last_activity_ = Clock::now(); }

    static std::size_t on_header(char* data, std::size_t size, std::size_t count, void* self) {
        auto& transfer = *static_cast<Transfer*>(self);
        const std::size_t length = size * count;
        try {
            transfer.note_activity();
            transfer.received_ += length;
            transfer.header_line(std::string_view(data, length));
        } catch (...) {
            transfer.callback_failure_ = std::current_exception();
            return 0;
        }
        return length;
    }

    // Returns false to stop the exchange (its failure, if any, is in callback_failure_).
    bool keep_body(std::string_view data) {
        if (!headers_final_) {
            return true;  // bodies of redirects being followed are dropped
        }
        if (!is_success(status_)) {
            // An error body is quoted, never read whole: what is past the limit stays unread.
            body_.append(data.substr(0, max_error_body_ - std::min(max_error_body_, body_.size())));
            return body_.size() < max_error_body_;
        }
        if (data.size() > max_body_ - std::min(max_body_, body_.size())) {
            callback_failure_ = std::make_exception_ptr(
                HttpError("the answer from " + printable_url(url_) +
                          " is larger than the limit of " + size_text(max_body_)));
            return false;
        }
        body_.append(data);
        return true;
    }

    static std::size_t on_body(char* data, std::size_t size, std::size_t count, void* self) {
        auto& transfer = *static_cast<Transfer*>(self);
        const std::size_t length = size * count;
        try {
            transfer.note_activity();
            transfer.received_ += length;
            return transfer.keep_body(std::string_view(data, length)) ? length : 0;
        } catch (...) {
            transfer.callback_failure_ = std::current_exception();
            return 0;
        }
    }

    // A new connection is being set up (the first, or one to a redirect's host): until it
    // stands, only the connect time-out applies.
    static int on_connecting(void* self, curl_socket_t, curlsocktype) {
        static_cast<Transfer*>(self)->connected_ = false;
        return CURL_SOCKOPT_OK;
    }

    static int on_connected(void* self, char*, char*, int, int) {
        auto& transfer = *static_cast<Transfer*>(self);
        transfer.connected_ = true;
        transfer.note_activity();
        return CURL_PREREQFUNC_OK;
    }

    // Sending a large body is progress too: the idle time-out bounds waits, not uploads.
    static int on_progress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t sent) {
        auto& transfer = *static_cast<Transfer*>(self);
        if (sent != transfer.sent_) {
            transfer.sent_ = sent;
            transfer.note_activity();
        }
        return 0;
    }

    std::string url_;
    std::chrono::milliseconds idle_timeout_;
    bool follow_redirects_;
    std::size_t max_error_body_;
    std::function<bool()> cancelled_;
    std::size_t max_body_ = std::numeric_limits<std::size_t>::max();

    std::unique_ptr<CURLM, MultiDeleter> multi_;
    std::unique_ptr<curl_slist, ListDeleter> request_headers_;
    std::unique_ptr<CURL, EasyDeleter> easy_;
    bool attached_ = false;
    char error_text_[CURL_ERROR_SIZE] = {};

    bool connected_ = false;
    Clock::time_point last_activity_ = Clock::now();
    std::size_t received_ = 0;
    curl_off_t sent_ = 0;

    long status_ = 0;
    Headers headers_;
    bool in_block_ = false;
    bool headers_final_ = false;
    std::string body_;

    bool finished_ = false;
    std::exception_ptr failure_;
    std::exception_ptr callback_failure_;
};

std::string error_message(long status, const std::string& body) {
    constexpr std::size_t excerpt_limit = 200;
    std::string message = "HTTP status " + std::to_string(status);
    const std::string_view excerpt =
        text::trim_whitespace(std::string_view(body).substr(0, excerpt_limit));
    if (!excerpt.empty()) {
        message += ": ";
        message += mask_bearer_tokens(excerpt);
        if (body.size() > excerpt_limit) {
            message += "...";
        }
    }
    return message;
}

}  // namespace

std::string printable_url(const std::string& url) {
    std::unique_ptr<CURLU, UrlDeleter> handle(curl_url());
    if (!handle ||
        curl_url_set(handle.get(), CURLUPART_URL, url.c_str(), CURLU_GUESS_SCHEME) != CURLUE_OK) {
        return "a malformed URL";
    }
    for (auto part : {CURLUPART_USER, CURLUPART_PASSWORD, CURLUPART_QUERY, CURLUPART_FRAGMENT}) {
        curl_url_set(handle.get(), part, nullptr, 0);
    }
    char* raw = nullptr;
    if (curl_url_get(handle.get(), CURLUPART_URL, &raw, 0) != CURLUE_OK) {
        return "a malformed URL";
    }
    std::unique_ptr<char, CurlTextDeleter> text(raw);
    return text.get();
}

std::string redacted_url(const std::string& url) {
    std::unique_ptr<CURLU, UrlDeleter> handle(curl_url());
    if (!handle ||
        curl_url_set(handle.get(), CURLUPART_URL, url.c_str(), CURLU_GUESS_SCHEME) != CURLUE_OK) {
        return "a malformed URL";
    }
    curl_url_set(handle.get(), CURLUPART_USER, nullptr, 0);
    curl_url_set(handle.get(), CURLUPART_PASSWORD, nullptr, 0);
    char* raw = nullptr;
    if (curl_url_get(handle.get(), CURLUPART_QUERY, &raw, 0) == CURLUE_OK) {
        const std::unique_ptr<char, CurlTextDeleter> query(raw);
        curl_url_set(handle.get(), CURLUPART_QUERY, redacted_query(query.get()).c_str(), 0);
    }
    if (curl_url_get(handle.get(), CURLUPART_URL, &raw, 0) != CURLUE_OK) {
        return "a malformed URL";
    }
    const std::unique_ptr<char, CurlTextDeleter> text(raw);
    return text.get();
}

std::string origin(const std::string& url) {
    std::unique_ptr<CURLU, UrlDeleter> handle(curl_url());
    if (!handle || curl_url_set(handle.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) {
        return "";
    }
    std::string joined;
    for (const auto& [part, separator] :
         {std::pair{CURLUPART_SCHEME, "://"}, std::pair{CURLUPART_HOST, ":"},
          std::pair{CURLUPART_PORT, ""}}) {
        char* raw = nullptr;
        if (curl_url_get(handle.get(), part, &raw, CURLU_DEFAULT_PORT) != CURLUE_OK) {
            return "";
        }
        const std::unique_ptr<char, CurlTextDeleter> text(raw);
        joined += text.get();
        joined += separator;
    }
    return lower_case(joined);
}

std::string mask_bearer_tokens(std::string_view text) {
    static constexpr std::string_view kScheme = "bearer ";
    std::string masked;
    std::size_t copied = 0;
    for (std::size_t at = 0; at + kScheme.size() <= text.size(); ++at) {
        if (!equal_ignoring_case(text.substr(at, kScheme.size()), kScheme)) {
            continue;
        }
        const std::size_t start = at + kScheme.size();
        std::size_t end = start;
        while (end < text.size() && is_token_character(text[end])) {
            ++end;
        }
        masked.append(text.substr(copied, start - copied));
        masked += "***";
        copied = at = end;
    }
    masked.append(text.substr(copied));
    return masked;
}

StatusError::StatusError(long status, std::string body)
    : HttpError(error_message(status, body)), status_(status), body_(std::move(body)) {}

std::optional<std::string> Response::header(std::string_view name) const {
    return find_header(headers, name);
}

std::string percent_encode(std::string_view text, bool keep_slash) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string encoded;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        const bool kept = (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
                          (byte >= '0' && byte <= '9') || c == '-' || c == '_' || c == '.' ||
                          c == '~' || (keep_slash && c == '/');
        if (kept) {
            encoded += c;
        } else {
            encoded += '%';
            encoded += kHex[byte >> 4];
            encoded += kHex[byte & 0x0F];
        }
    }
    return encoded;
}

Response fetch(const Request& request) {
    Transfer transfer(request);
    transfer.limit_body(request.max_body);
    transfer.run_to_end();
    transfer.throw_if_error_status();
    transfer.rethrow_failure();
    return Response{transfer.status(), transfer.headers(), std::move(transfer.body())};
}

struct ResponseStream::State {
    explicit State(const Request& request) : transfer(request), max_line(request.max_line) {}

    // Drops what the readers handed out, so the buffer holds at most one unfinished line
    // when more data is fetched.
    void compact() {
        transfer.body().erase(0, consumed);
        scanned -= consumed;
        consumed = 0;
    }

    Transfer transfer;
    std::size_t max_line;
    std::size_t consumed = 0;  // body bytes already handed out
    std::size_t scanned = 0;   // body bytes already searched for a newline
};

ResponseStream::ResponseStream(std::unique_ptr<State> state) : state_(std::move(state)) {}
ResponseStream::ResponseStream(ResponseStream&&) noexcept = default;
ResponseStream& ResponseStream::operator=(ResponseStream&&) noexcept = default;
ResponseStream::~ResponseStream() = default;

ResponseStream ResponseStream::open(const Request& request) {
    auto state = std::make_unique<State>(request);
    Transfer& transfer = state->transfer;
    transfer.run_until([&] { return transfer.headers_final(); });
    if (!transfer.headers_final()) {
        transfer.rethrow_failure();
    }
    transfer.throw_if_error_status();
    return ResponseStream(std::move(state));
}

long ResponseStream::status() const {
    return state_->transfer.status();
}

const Headers& ResponseStream::headers() const {
    return state_->transfer.headers();
}

std::optional<std::string> ResponseStream::header(std::string_view name) const {
    return find_header(state_->transfer.headers(), name);
}

std::optional<std::string> ResponseStream::next_chunk() {
    if (!state_) {
        return std::nullopt;
    }
    State& state = *state_;
    std::string& body = state.transfer.body();
    if (state.consumed == body.size()) {
        state.compact();
        state.transfer.receive_more();
        if (body.empty()) {
            state.transfer.rethrow_failure();
            return std::nullopt;
        }
    }
    std::string chunk = body.substr(state.consumed);
    state.consumed = state.scanned = body.size();
    return chunk;
}

std::optional<std::string> ResponseStream::next_line() {
    if (!state_) {
        return std::nullopt;
    }
    State& state = *state_;
    std::string& body = state.transfer.body();
    for (;;) {
        const std::size_t newline = body.find('\n', state.scanned);
        if (newline != std::string::npos) {
            std::size_t end = newline;
            if (end > state.consumed && body[end - 1] == '\r') {
                --end;
            }
            std::string line = body.substr(state.consumed, end - state.consumed);
            state.consumed = state.scanned = newline + 1;
            return line;
        }
        state.scanned = body.size();
        if (body.size() - state.consumed > state.max_line) {
            throw HttpError("a line of the answer from " + printable_url(state.transfer.url()) +
                            " is longer than the limit of " + size_text(state.max_line));
        }
        if (state.transfer.finished()) {
            state.transfer.rethrow_failure();  // a cut-off last line is not handed out as whole
            if (state.consumed == body.size()) {
                return std::nullopt;
            }
            std::string line = body.substr(state.consumed);
            state.consumed = body.size();
            return line;
        }
        state.compact();
        state.transfer.receive_more();
    }
}

}  // namespace kestrune::platform::http
