#include "platform/python/python.hpp"

#include <pybind11/embed.h>
#include <pybind11/pybind11.h>

#include <atomic>
#include <exception>
#include <mutex>
#include <thread>
#include <utility>

#if defined(__SANITIZE_ADDRESS__)
#define KESTRUNE_UNDER_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#define KESTRUNE_UNDER_ADDRESS_SANITIZER __has_feature(address_sanitizer)
#else
#define KESTRUNE_UNDER_ADDRESS_SANITIZER 0
#endif

namespace kestrune::platform::python {

namespace {

std::atomic<int> simulated_absences{0};

}  // namespace

SimulatedAbsence::SimulatedAbsence() {
    ++simulated_absences;
}
SimulatedAbsence::~SimulatedAbsence() {
    --simulated_absences;
}

namespace py = pybind11;
using namespace py::literals;

namespace {

bool simulated_absent() {
    return simulated_absences.load() > 0;
}

// The interpreter is started by whichever thread first needs it. Its lock is given back at
// once: from then on every entry into Python takes the lock for its own duration only, so a
// thread waiting in C++ never blocks another thread's Python work.
void ensure_interpreter() {
    static std::once_flag started;
    std::call_once(started, [] {
#if KESTRUNE_UNDER_ADDRESS_SANITIZER
        // Python's own allocator keeps objects in arenas LeakSanitizer does not look into, so
        // everything referenced only from there would be reported as leaked.
        PyPreConfig allocator;
        PyPreConfig_InitPythonConfig(&allocator);
        allocator.allocator = PYMEM_ALLOCATOR_MALLOC;
        Py_PreInitialize(&allocator);
#endif
        py::initialize_interpreter(/*init_signal_handlers=*/false, 0, nullptr,
                                   /*add_program_dir_to_path=*/false);
        // pybind11's shared state is made lazily, unguarded; threads taking the lock for the
        // first time at once would race to make it.
        py::detail::get_internals();
        // The main thread state stays with the interpreter for the rest of the process.
        PyEval_SaveThread();
    });
}

struct InterpreterStarted {
    InterpreterStarted() { ensure_interpreter(); }
};

// The interpreter lock for one scope (reentrant on the same thread).
class Lock : InterpreterStarted {
    py::gil_scoped_acquire gil_;
};

// A Python object that may be dropped anywhere: letting go of it takes the lock.
class Held {
  public:
    Held() = default;
    explicit Held(py::object object) : object_(std::move(object)) {}
    Held(Held&& other) noexcept = default;
    Held& operator=(Held&& other) noexcept {
        if (this != &other) {
            reset();
            object_ = std::move(other.object_);
        }
        return *this;
    }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
    ~Held() { reset(); }

    const py::object& get() const { return object_; }

  private:
    void reset() noexcept {
        if (object_) {
            Lock lock;
            object_ = py::object();
        }
    }

    py::object object_;
};

std::string text_of(py::handle value) {
    return py::str(value).cast<std::string>();
}

std::string describe(const py::error_already_set& failure) {
    try {
        return text_of(failure.value());
    } catch (const std::exception&) {
        return failure.what();
    }
}

// Runs `body` under the interpreter lock; a Python exception leaves it as PythonError, so no
// Python object outlives the lock.
template <class Body>
auto in_python(Body&& body) -> decltype(body()) {
    Lock lock;
    try {
        return body();
    } catch (const py::error_already_set& failure) {
        throw PythonError(describe(failure));
    }
}

py::module_ import_package(const std::string& package) {
    if (simulated_absent()) {
        throw MissingComponentError("Python package " + package + " is not installed");
    }
    try {
        return py::module_::import(package.c_str());
    } catch (const py::error_already_set& failure) {
        if (failure.matches(PyExc_ImportError)) {
            throw MissingComponentError("Python package " + package + " is not installed (" +
                                        describe(failure) + ")");
        }
        throw;
    }
}

// Python values as JSON; anything JSON has no form for is written as its text, str(value).
Json to_json(py::handle value) {
    if (value.is_none()) {
        return nullptr;
    }
    if (py::isinstance<py::bool_>(value)) {
        return value.cast<bool>();
    }
    if (py::isinstance<py::int_>(value)) {
        try {
            return value.cast<long long>();
        } catch (const py::cast_error&) {
            return text_of(value);  // beyond 64 bits
        }
    }
    if (py::isinstance<py::float_>(value)) {
        return value.cast<double>();
    }
    if (py::isinstance<py::str>(value)) {
        return value.cast<std::string>();
    }
    if (py::isinstance<py::dict>(value)) {
        Json object = Json::object();
        for (auto [key, item] : value.cast<py::dict>()) {
            object[text_of(key)] = to_json(item);
        }
        return object;
    }
    if (py::isinstance<py::list>(value) || py::isinstance<py::tuple>(value)) {
        Json array = Json::array();
        for (auto item : value) {
            array.push_back(to_json(item));
        }
        return array;
    }
    return text_of(value);
}

py::list to_python(const Messages& messages) {
    py::list list;
    for (const auto& message : messages) {
        py::dict entry;
        for (const auto& [key, value] : message.fields()) {
            entry[py::str(key)] = py::str(value);
        }
        list.append(entry);
    }
    return list;
}

}  // namespace

bool compiled_in() {
    return true;
}

void prepend_module_path(const std::string& directory) {
    in_python([&] {
        py::module_::import("sys").attr("path").attr("insert")(0, directory);
        py::module_::import("importlib").attr("invalidate_caches")();
    });
}

void require(const std::string& package) {
    in_python([&] { import_package(package); });
}

Json ddgs_text(const std::string& query, long long max_results) {
    return in_python([&] {
        py::object client = import_package("duckduckgo_search").attr("DDGS")();
        py::object session = client.attr("__enter__")();
        py::list results;
        try {
            results = py::list(session.attr("text")(query, "max_results"_a = max_results));
        } catch (const py::error_already_set& failure) {
            client.attr("__exit__")(failure.type(), failure.value(), failure.trace());
            throw;
        }
        client.attr("__exit__")(py::none(), py::none(), py::none());
        return to_json(results);
    });
}

std::string transformers_version() {
    return in_python([] { return text_of(import_package("transformers").attr("__version__")); });
}

bool cuda_available() {
    return in_python(
        [] { return import_package("torch").attr("cuda").attr("is_available")().cast<bool>(); });
}

void empty_cuda_cache() {
    in_python([] { import_package("torch").attr("cuda").attr("empty_cache")(); });
}

struct TextGenerationPipeline::State {
    Held pipeline;
};

struct Generation::State {
    Held pieces;  // the streamer, iterated
    std::shared_ptr<std::atomic<bool>> stop = std::make_shared<std::atomic<bool>>(false);
    bool ended = false;
    std::exception_ptr failure;  // written by the thread, read after joining it
    std::thread thread;

    ~State() {
        stop->store(true);
        if (thread.joinable()) {
            thread.join();
        }
    }
};

namespace {

// The body of the generation thread. A failure ends the streamer too, so the consumer waiting
// for the next piece wakes up instead of waiting forever.
void run_generation(std::exception_ptr& failure, const Held& generate, const Held& arguments,
                    const Held& streamer) {
    Lock lock;
    try {
        generate.get()(**arguments.get());
        return;
    } catch (const py::error_already_set& error) {
        failure = std::make_exception_ptr(PythonError(describe(error)));
    } catch (const std::exception&) {
        failure = std::current_exception();
    }
    try {
        streamer.get().attr("end")();
    } catch (const py::error_already_set&) {
        // Nothing more can be done: the failure above is what the consumer will see.
    }
}

}  // namespace

TextGenerationPipeline TextGenerationPipeline::create(const std::string& model, Dtype dtype) {
    return in_python([&] {
        py::module_ transformers = import_package("transformers");
        py::module_ torch = import_package("torch");
        py::object pipeline = transformers.attr("pipeline")(
            "text-generation", "model"_a = model,
            "torch_dtype"_a = torch.attr(dtype == Dtype::float16 ? "float16" : "float32"),
            "device_map"_a = "auto", "model_kwargs"_a = py::dict("use_safetensors"_a = true));
        return TextGenerationPipeline(std::make_unique<State>(Held(std::move(pipeline))));
    });
}

Json TextGenerationPipeline::call(const Messages& messages, const PipelineCall& call) const {
    return in_python([&] {
        return to_json(
            state_->pipeline.get()(to_python(messages), "max_new_tokens"_a = call.max_new_tokens,
                                   "temperature"_a = call.temperature, "top_p"_a = call.top_p,
                                   "do_sample"_a = call.do_sample));
    });
}

Generation TextGenerationPipeline::generate_streamed(const Messages& messages, int max_new_tokens,
                                                     double temperature) const {
    auto state = std::make_unique<Generation::State>();
    in_python([&] {
        py::module_ transformers = import_package("transformers");
        const py::object& pipeline = state_->pipeline.get();
        py::object tokenizer = pipeline.attr("tokenizer");
        // Without skip_prompt the streamer would hand out the templated prompt first.
        py::object streamer = transformers.attr("TextIteratorStreamer")(
            tokenizer, "skip_prompt"_a = true, "skip_special_tokens"_a = true);
        py::object input_ids =
            tokenizer
                .attr("apply_chat_template")(to_python(messages), "return_tensors"_a = "pt",
                                             "add_generation_prompt"_a = true)
                .attr("to")(pipeline.attr("device"));
        // Asked after every token: true once the consumer has dropped the stream.
        py::cpp_function stop_requested(
            [stop = state->stop](const py::args&, const py::kwargs&) { return stop->load(); });
        py::object criteria =
            transformers.attr("StoppingCriteriaList")(py::list(py::make_tuple(stop_requested)));
        py::dict arguments("input_ids"_a = input_ids, "max_new_tokens"_a = max_new_tokens,
                           "streamer"_a = streamer, "temperature"_a = temperature,
                           "stopping_criteria"_a = criteria);
        state->pieces = Held(py::iter(streamer));
        state->thread = std::thread(
            [&failure = state->failure, generate = Held(pipeline.attr("model").attr("generate")),
             arguments = Held(std::move(arguments)), streamer = Held(std::move(streamer))] {
                run_generation(failure, generate, arguments, streamer);
            });
    });
    return Generation(std::move(state));
}

std::optional<std::string> Generation::next_piece() {
    if (state_->ended) {
        return std::nullopt;  // asking an ended streamer again would wait forever
    }
    return in_python([&]() -> std::optional<std::string> {
        auto piece = py::reinterpret_steal<py::object>(PyIter_Next(state_->pieces.get().ptr()));
        if (!piece) {
            if (PyErr_Occurred() != nullptr) {
                throw py::error_already_set();
            }
            state_->ended = true;
            return std::nullopt;
        }
        return text_of(piece);
    });
}

void Generation::finish() {
    if (state_->thread.joinable()) {
        state_->thread.join();
    }
    if (state_->failure) {
        std::rethrow_exception(std::exchange(state_->failure, nullptr));
    }
}

TextGenerationPipeline::TextGenerationPipeline(std::unique_ptr<State> state)
    : state_(std::move(state)) {}
TextGenerationPipeline::TextGenerationPipeline(TextGenerationPipeline&&) noexcept = default;
TextGenerationPipeline& TextGenerationPipeline::operator=(TextGenerationPipeline&&) noexcept =
    default;
TextGenerationPipeline::~TextGenerationPipeline() = default;

Generation::Generation(std::unique_ptr<State> state) : state_(std::move(state)) {}
Generation::Generation(Generation&&) noexcept = default;
Generation& Generation::operator=(Generation&&) noexcept = default;
Generation::~Generation() = default;

}  // namespace kestrune::platform::python
