// The Sorter class: construction, lifecycle (close, with, len, dealloc, GC)
// and the type object.

#include "python/sorter_object.h"

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "python/adding.h"
#include "python/args.h"
#include "python/docs.h"
#include "python/errors.h"
#include "python/iterator.h"
#include "python/pickle_subset.h"
#include "python/write_to.h"

namespace quillmere::python {
namespace {

PySorter* as_sorter(PyObject* o) { return reinterpret_cast<PySorter*>(o); }

// ---- construction ----

// Whether the class docstring's signature shows `name=value`: the defaults
// live in the core, and the text help() shows must not drift from them.
consteval bool doc_shows(std::string_view name, std::uint64_t value) {
  std::string text(name);
  text += '=';
  std::string digits;
  do {
    digits.insert(digits.begin(), static_cast<char>('0' + value % 10));
    value /= 10;
  } while (value != 0);
  text += digits;
  const std::string_view doc(kSorterDoc);
  return doc.substr(0, doc.find('\n')).find(text) != std::string_view::npos;
}
static_assert(doc_shows("max_bytes", kDefaultMaxBytes) && doc_shows("max_open", kDefaultMaxOpen) &&
              doc_shows("threads", kDefaultThreads));

constexpr const char* kParams[] = {"key", "codec", "max_bytes", "tmp_dir", "max_open", "threads"};
enum Param { kKey, kCodec, kMaxBytes, kTmpDir, kMaxOpen, kThreads };
constexpr Signature kNewSignature{.function = "Sorter.__new__",
                                  .names = kParams,
                                  .positional_only = 0,
                                  .max_positional = 1,
                                  .required = 0};

// An integer argument as given (anything with __index__; not a float). A
// failure carries the note "while processing 'NAME'".
std::optional<long> convert_integer(PyObject* value, const char* name, long absent) {
  if (value == nullptr) return absent;
  long v = PyLong_AsLong(value);
  if (v == -1 && PyErr_Occurred()) {
    add_processing_note(name);
    return std::nullopt;
  }
  return v;
}

// A path in the filesystem encoding. Any path-like object will do if it
// gives a str; bytes paths are refused.
std::optional<std::string> convert_path(PyObject* value) {
  Ref fs = Ref::steal(PyOS_FSPath(value));
  if (!fs) return std::nullopt;
  if (!PyUnicode_Check(fs.get())) {
    Ref name = type_name(fs.get());
    if (name) PyErr_Format(PyExc_TypeError, "a path must be a str, not %U", name.get());
    return std::nullopt;
  }
  Ref encoded = Ref::steal(PyUnicode_EncodeFSDefault(fs.get()));
  if (!encoded) return std::nullopt;
  std::string path(PyBytes_AS_STRING(encoded.get()), PyBytes_GET_SIZE(encoded.get()));
  if (path.find('\0') != std::string::npos) {
    PyErr_SetString(PyExc_ValueError, "embedded null byte");
    return std::nullopt;
  }
  return path;
}

// A minimum check on a setting. The value counts as signed: a negative one
// always fails, and the message shows it as given.
bool setting(const char* name, long value, unsigned long minimum) {
  if (value >= 0 && static_cast<unsigned long>(value) >= minimum) return true;
  PyErr_Format(PyExc_ValueError, "%s must be at least %lu, not %ld", name, minimum, value);
  return false;
}

// One attribute of a codec if it is callable, else nothing; a failed lookup
// counts as missing.
Ref codec_method(PyObject* codec, const char* name) {
  Ref method = Ref::steal(PyObject_GetAttrString(codec, name));
  if (!method) {
    PyErr_Clear();
    return {};
  }
  if (!PyCallable_Check(method.get())) return {};
  return method;
}

// Returns false with the exception set.
bool attr_of_module(const char* module, const char* name, Ref* out) {
  Ref mod = Ref::steal(PyImport_ImportModule(module));
  if (!mod) return false;
  *out = Ref::steal(PyObject_GetAttrString(mod.get(), name));
  return static_cast<bool>(*out);
}

std::optional<std::string> default_tmp_dir() {
  Ref gettempdir;
  if (!attr_of_module("tempfile", "gettempdir", &gettempdir)) return std::nullopt;
  Ref dir = Ref::steal(PyObject_CallNoArgs(gettempdir.get()));
  if (!dir) return std::nullopt;
  return convert_path(dir.get());
}

PyObject* sorter_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return boundary([&]() -> PyObject* {
    PyObject* arg[std::size(kParams)];
    if (!bind(kNewSignature, args, kwargs, arg)) return nullptr;
    PyObject* key = arg[kKey] == Py_None ? nullptr : arg[kKey];
    PyObject* codec = arg[kCodec] == Py_None ? nullptr : arg[kCodec];

    // Conversions first, in this order, each failure noted with its name.
    std::optional<long> max_bytes = convert_integer(arg[kMaxBytes], "max_bytes", kDefaultMaxBytes);
    if (!max_bytes) return nullptr;
    std::optional<std::string> tmp_dir;
    if (arg[kTmpDir] != nullptr && arg[kTmpDir] != Py_None) {
      tmp_dir = convert_path(arg[kTmpDir]);
      if (!tmp_dir) {
        add_processing_note("tmp_dir");
        return nullptr;
      }
    }
    std::optional<long> max_open = convert_integer(arg[kMaxOpen], "max_open", kDefaultMaxOpen);
    if (!max_open) return nullptr;
    std::optional<long> threads = convert_integer(arg[kThreads], "threads", kDefaultThreads);
    if (!threads) return nullptr;

    if (key != nullptr && !PyCallable_Check(key)) {
      Ref name = type_name(key);
      if (name) {
        PyErr_Format(PyExc_TypeError, "key must be a function returning a sort key, not %U",
                     name.get());
      }
      return nullptr;
    }
    Ref encode, decode;
    if (codec != nullptr) {
      encode = codec_method(codec, "encode");
      decode = codec_method(codec, "decode");
      if (!encode || !decode) {
        Ref name = type_name(codec);
        if (name) {
          PyErr_Format(PyExc_TypeError, "a codec must have encode and decode methods, unlike %U",
                       name.get());
        }
        return nullptr;
      }
    } else if (!attr_of_module("pickle", "dumps", &encode) ||
               !attr_of_module("pickle", "loads", &decode)) {
      return nullptr;
    }
    // Only the interpreter's own pickle may be stood in for: a patched or
    // replaced dumps or loads is called as given.
    int own_pickle = 0;
    if (codec == nullptr) {
      own_pickle = pickle::is_interpreters_pickle(encode.get(), decode.get());
      if (own_pickle < 0) return nullptr;
    }
    if (!tmp_dir) {
      tmp_dir = default_tmp_dir();
      if (!tmp_dir) return nullptr;
    }
    if (!setting("max_bytes", *max_bytes, 2) || !setting("max_open", *max_open, 2) ||
        !setting("threads", *threads, 1)) {
      return nullptr;
    }

    Config config{.tmp_dir = std::filesystem::path(*tmp_dir),
                  .max_bytes = static_cast<std::uint64_t>(*max_bytes),
                  .max_open = static_cast<std::uint64_t>(*max_open),
                  .threads = static_cast<std::uint64_t>(*threads)};
    Result<std::unique_ptr<Sorter>> core;
    {
      // Probing the directory and starting threads touch no Python object.
      Detached detached;
      core = Sorter::create(std::move(config));
    }
    if (!core) return raise(std::move(core.error()));
    auto lock = std::make_shared<Lock>(State(Adding{std::move(*core)}));

    PyObject* obj = type->tp_alloc(type, 0);
    if (obj == nullptr) return nullptr;
    PySorter* self = as_sorter(obj);
    self->has_codec = codec != nullptr;
    self->own_pickle = own_pickle == 1;
    self->encode = encode.release();
    new (&self->lock) std::shared_ptr<Lock>(std::move(lock));
    self->decode = decode.release();
    new (&self->added) std::atomic<std::uint64_t>(0);
    self->key = Py_XNewRef(key);
    new (&self->status) std::atomic<std::uint32_t>(kStatusOpen);
    return obj;
  });
}

// ---- lifecycle ----

PyObject* sorter_close(PyObject* obj, PyObject*) {
  return boundary([&]() -> PyObject* {
    PySorter* self = as_sorter(obj);
    // First, so that adds in other threads fail fast from now on.
    self->status.store(kStatusClosed);
    bool reentrant = false;
    {
      Detached detached;
      // Work another thread does under the lock is waited for, not stopped.
      std::optional<Guard> guard = self->lock->acquire();
      if (guard) {
        State old = std::exchange(guard->state(), State(Closed{}));
        guard.reset();
        // `old` goes here, with the lock free and the thread still detached:
        // a pending spill is joined and the private directory removed.
      } else {
        reentrant = true;
      }
    }
    if (reentrant) {
      raise_refusal(Refusal::kReentrant);
      return nullptr;
    }
    Py_RETURN_NONE;
  });
}

PyObject* sorter_enter(PyObject* self, PyObject*) { return Py_NewRef(self); }

PyObject* sorter_exit(PyObject* self, PyObject* const*, Py_ssize_t, PyObject* kwnames) {
  if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0) {
    return raise_message(PyExc_TypeError, "Sorter.__exit__() takes no keyword arguments");
  }
  Ref closed = Ref::steal(sorter_close(self, nullptr));
  if (!closed) return nullptr;
  Py_RETURN_NONE;
}

Py_ssize_t sorter_len(PyObject* self) {
  const std::uint64_t added = as_sorter(self)->added.load(std::memory_order_relaxed);
  if (added > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
    PyErr_SetNone(PyExc_OverflowError);
    return -1;
  }
  return static_cast<Py_ssize_t>(added);
}

constexpr const char* kClassGetitemParams[] = {"key"};
constexpr Signature kClassGetitemSignature{.function = "Sorter.__class_getitem__",
                                           .names = kClassGetitemParams,
                                           .positional_only = 0,
                                           .max_positional = 1,
                                           .required = 1};

PyObject* sorter_class_getitem(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  PyObject* key;
  if (!bind(kClassGetitemSignature, args, nargs, kwnames, &key)) return nullptr;
  return Py_GenericAlias(cls, key);
}

int sorter_traverse(PyObject* obj, visitproc visit, void* arg) {
  PySorter* self = as_sorter(obj);
  // Instances of a heap type own a reference to it.
  Py_VISIT(Py_TYPE(obj));
  Py_VISIT(self->key);
  Py_VISIT(self->encode);
  Py_VISIT(self->decode);
  return 0;
}

void sorter_dealloc(PyObject* obj) {
  PySorter* self = as_sorter(obj);
  PyTypeObject* type = Py_TYPE(obj);
  PyObject_GC_UnTrack(obj);
  release(self->lock);
  std::destroy_at(&self->lock);
  Py_XDECREF(self->key);
  Py_XDECREF(self->encode);
  Py_XDECREF(self->decode);
  type->tp_free(obj);
  Py_DECREF(type);
}


template <class F>
void* slot(F* f) {
  return reinterpret_cast<void*>(f);
}

template <class F>
PyCFunction method(F* f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef sorter_methods[] = {
    {"add", method(sorter_add), METH_FASTCALL | METH_KEYWORDS, kAddDoc},
    {"add_encoded", method(sorter_add_encoded), METH_FASTCALL | METH_KEYWORDS, kAddEncodedDoc},
    {"sort", method(sorter_sort), METH_FASTCALL | METH_KEYWORDS, kSortDoc},
    {"encoded", method(sorter_encoded), METH_NOARGS, kEncodedDoc},
    {"write_to", method(sorter_write_to), METH_FASTCALL | METH_KEYWORDS, kWriteToDoc},
    {"close", method(sorter_close), METH_NOARGS, kCloseDoc},
    {"__enter__", method(sorter_enter), METH_NOARGS, kEnterDoc},
    {"__exit__", method(sorter_exit), METH_FASTCALL | METH_KEYWORDS, kExitDoc},
    {"__class_getitem__", method(sorter_class_getitem), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     kClassGetitemDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot sorter_slots[] = {
    {Py_tp_new, slot(sorter_new)},
    {Py_mp_length, slot(sorter_len)},
    {Py_tp_traverse, slot(sorter_traverse)},
    {Py_tp_dealloc, slot(sorter_dealloc)},
    {Py_tp_methods, sorter_methods},
    {Py_tp_doc, const_cast<char*>(kSorterDoc)},
    {0, nullptr},
};

PyType_Spec sorter_spec = {
    .name = "quillmere.Sorter",
    .basicsize = sizeof(PySorter),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = sorter_slots,
};

}  // namespace

bool raise_refusal(Refusal refusal) {
  switch (refusal) {
    case Refusal::kClosed:
      PyErr_SetString(PyExc_ValueError, "I/O operation on a closed sorter");
      break;
    case Refusal::kStopped:
      PyErr_SetString(PyExc_RuntimeError,
                      "the sorter stopped when reading it failed or was interrupted");
      break;
    case Refusal::kAddAfterRead:
      PyErr_SetString(PyExc_RuntimeError, "cannot add to a sorter once it has been read");
      break;
    case Refusal::kReadTwice:
      PyErr_SetString(PyExc_RuntimeError, "a sorter can be read only once");
      break;
    case Refusal::kReentrant:
      // Code run under the lock in this thread (a signal handler, say) called
      // back into the sorter, which would otherwise wait on itself for ever.
      PyErr_SetString(PyExc_RuntimeError, "reentrant call");
      break;
  }
  return false;
}

Refusal refusal_to_add(const State& state) {
  if (std::holds_alternative<Closed>(state)) return Refusal::kClosed;
  if (std::holds_alternative<Stopped>(state)) return Refusal::kStopped;
  return Refusal::kAddAfterRead;
}

Ref cached_type(const char* cache_key, PyType_Spec* spec) {
  // Types live per interpreter, in its own dict: a type object must never
  // be shared between interpreters, and the module keeps no state.
  PyObject* dict = PyInterpreterState_GetDict(PyInterpreterState_Get());
  if (dict == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "no interpreter dict to keep the type in");
    return {};
  }
  PyObject* found = nullptr;
  if (PyDict_GetItemStringRef(dict, cache_key, &found) < 0) return {};
  if (found != nullptr) return Ref::steal(found);
  Ref made = Ref::steal(PyType_FromSpec(spec));
  Ref name = Ref::steal(PyUnicode_FromString(cache_key));
  if (!made || !name) return {};
  // Two threads may race to make it; both use whichever was stored first.
  PyObject* winner = nullptr;
  if (PyDict_SetDefaultRef(dict, name.get(), made.get(), &winner) < 0) return {};
  return Ref::steal(winner);
}

Ref sorter_type() { return cached_type("_quillmere.Sorter", &sorter_spec); }

bool is_sorter(PyObject* o) {
  Ref type = sorter_type();
  if (!type) {
    PyErr_Clear();
    return false;
  }
  return Py_TYPE(o) == reinterpret_cast<PyTypeObject*>(type.get());
}

void release(std::shared_ptr<Lock>& lock) noexcept {
  // Another handle (an iterator's) keeps the state; its last holder releases.
  if (!lock || lock.use_count() > 1) return;
  std::optional<State> taken = lock->take_as_last_holder();
  if (!taken) {
    // Inherited across a fork while another thread held it: keep it as it
    // is rather than wait for a thread that is not in this process.
    abandon(std::move(lock));
    return;
  }
  State old = std::move(*taken);
  if (!std::holds_alternative<Adding>(old) && !std::holds_alternative<Reading>(old)) return;
  if (Py_IsFinalizing()) return;  // dropped in place, at the end of this scope
  Detached detached;
  old = State(Closed{});  // joins a spill and removes the private directory
}

}  // namespace quillmere::python
