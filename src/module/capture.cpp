// The Python side of OXAEngine.capture: binds and checks the arguments, runs
// json.dumps, snapshots the context objects, then hands plain values to the
// engine and wraps its record.
#include <array>

#include "engine/audit_engine.hpp"
#include "module/binder.hpp"
#include "module/classes.hpp"
#include "module/error_boundary.hpp"
#include "module/interpreter_lock.hpp"
#include "module/oxa_engine.hpp"

namespace oxa::py {

namespace {

constexpr std::array<const char*, 7> parameters = {
    "ctx", "prompt", "reasoning_trace", "output", "ppp_triplet", "human_delta_chain", "auto_insight"};
constexpr CallSignature signature{oxa_engine_name, "capture", parameters, 6};

enum Parameter : std::size_t { ctx, prompt, reasoning_trace, output, ppp_triplet, human_delta_chain, auto_insight };

// Interned names, made once: capture looks both up on every call.
PyObject* interned(PyObject*& slot, const char* text) {
  if (slot == nullptr) {
    slot = PyUnicode_InternFromString(text);
    if (slot == nullptr) throw ErrorAlreadySet{};
  }
  return slot;
}

PyObject* json_name = nullptr;
PyObject* dumps_name = nullptr;

// The module the interpreter holds as "json", through the import system
// (sys.modules first, a real import when it is not there yet).
Ref import_json() {
  return Ref::steal_or_throw(
      PyImport_ImportModuleLevelObject(interned(json_name, "json"), nullptr, nullptr, nullptr, 0));
}

// json.dumps(value), with "dumps" looked up anew; the result must be a str,
// whose UTF-8 text is kept exactly as returned.
std::string dumps_text(PyObject* json_module, PyObject* value) {
  Ref dumps = Ref::steal_or_throw(PyObject_GetAttr(json_module, interned(dumps_name, "dumps")));
  Ref text = Ref::steal_or_throw(PyObject_CallFunctionObjArgs(dumps.get(), value, nullptr));
  return text_value(text.get());
}

// Hands a failed append to the warnings machinery; a filter that turns the
// warning into an error makes capture raise it.
void warn_log_failure(const AuditEngine& engine, const RecordValues& record, const std::string& error) {
  const std::string message = "tvel_oxa: record " + record.id + " was not appended to the audit log '" +
                              engine.wal_path() + "': " + error;
  if (PyErr_WarnEx(PyExc_RuntimeWarning, message.c_str(), 1) != 0) throw ErrorAlreadySet{};
}

// The log append with the interpreter lock released: a slow file system, or
// a FIFO's slow reader, stalls only the capturing thread.
class LockReleasedForFileWork final : public BlockingWorkScope {
 public:
  void enter() noexcept override { saved_ = PyEval_SaveThread(); }
  void leave() override { PyEval_RestoreThread(saved_); }

 private:
  PyThreadState* saved_ = nullptr;
};

// The engine's part of a capture, which touches nothing of Python; the
// engine stays exclusively borrowed by this thread throughout. As a rule it
// runs with the interpreter lock released, so that threads capturing on
// other engines sign at the same time. When other threads already wait for
// this very engine, they cannot proceed before it is free anyway; releasing
// the lock would only let the ones woken earlier take it, find the engine
// still held and sleep again, at the cost of two thread switches each. Then
// only the file work steps aside.
CaptureOutcome seal_and_log(AuditEngine& engine, CaptureRequest&& request, bool engine_awaited) {
  if (engine_awaited) {
    LockReleasedForFileWork file_work;
    return engine.capture(std::move(request), &file_work);
  }
  ReleasedInterpreterLock unlocked;
  return engine.capture(std::move(request));
}

}  // namespace

PyObject* capture(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded_object([&] {
    const auto bound = bind_arguments<7>(signature, args, kwargs);

    auto& engine_object = receiver<EngineHandle>(self, oxa_engine_type(), oxa_engine_name);
    BorrowGuard engine_borrow = BorrowGuard::exclusive(engine_object.borrow_count);
    AuditEngine& engine = *engine_object.payload.engine;

    CaptureRequest request;
    request.prompt = text_argument("prompt", bound[prompt]);
    request.output = text_argument("output", bound[output]);
    auto& triplet = instance_argument<PPPTripletValues>("ppp_triplet", bound[ppp_triplet], ppp_triplet_type(),
                                                        ppp_triplet_name);
    BorrowGuard triplet_borrow = BorrowGuard::shared(triplet.borrow_count);
    auto& review = instance_argument<HumanDeltaChainValues>("human_delta_chain", bound[human_delta_chain],
                                                            human_delta_chain_type(), human_delta_chain_name);
    BorrowGuard review_borrow = BorrowGuard::shared(review.borrow_count);
    if (bound[auto_insight] != nullptr) request.auto_insight = flag_argument("auto_insight", bound[auto_insight]);

    {
      Ref json_module = import_json();
      request.ctx_json = dumps_text(json_module.get(), bound[ctx]);
      request.reasoning_trace_json = dumps_text(json_module.get(), bound[reasoning_trace]);
    }

    // Every error the arguments can cause has been raised by now; from here
    // on the engine's state changes and is never rolled back.
    request.triplet = triplet.payload;
    request.review = review.payload;
    triplet_borrow.release();  // the snapshot is taken: other threads may assign now
    review_borrow.release();
    CaptureOutcome outcome = seal_and_log(engine, std::move(request), engine_object.borrow_count.waiters != 0);
    if (outcome.log_error) warn_log_failure(engine, outcome.record, *outcome.log_error);
    return new_sealed_record(std::move(outcome.record)).release();
  });
}

}  // namespace oxa::py
