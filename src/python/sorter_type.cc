// The Sorter class: its constructor, in steps (conversion, the codec,
// the core sorter, allocation), its lifecycle (close, with, len, dealloc,
// GC) and the type object.

#include "python/sorter_type.h"

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "python/adding.h"
#include "python/args.h"
#include "python/docs.h"
#include "python/errors.h"
#include "python/iterator.h"
#include "python/lock.h"
#include "python/pickle/encoder.h"
#include "python/sorter_object.h"
#include "python/type_cache.h"
#include "python/write_to.h"
#include "sorter/config.h"
#include "sorter/sorter.h"

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

// The constructor's arguments, converted and checked.
struct Arguments {
  PyObject* key = nullptr;  // borrowed from the call; none when absent or None
  long max_bytes = 0;
  std::optional<std::string> tmp_dir;  // none until the default is taken
  long max_open = 0;
  long threads = 0;
  // How items become bytes and back.
  Ref encode;
  Ref decode;
  bool has_codec = false;   // encode and decode are the codec's, not pickle's
  bool own_pickle = false;  // they are the interpreter's own pickle
};

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

// Converts the numbers and the path, in this order, each failure noted
// with its name. A tmp_dir that is None is left none.
bool convert(PyObject* const* arg, Arguments& out) {
  std::optional<long> max_bytes = convert_integer(arg[kMaxBytes], "max_bytes", kDefaultMaxBytes);
  if (!max_bytes) return false;
  if (arg[kTmpDir] != nullptr && arg[kTmpDir] != Py_None) {
    std::optional<std::string> tmp_dir = convert_path(arg[kTmpDir]);
    if (!tmp_dir) {
      add_processing_note("tmp_dir");
      return false;
    }
    out.tmp_dir = std::move(tmp_dir);
  }
  std::optional<long> max_open = convert_integer(arg[kMaxOpen], "max_open", kDefaultMaxOpen);
  if (!max_open) return false;
  std::optional<long> threads = convert_integer(arg[kThreads], "threads", kDefaultThreads);
  if (!threads) return false;
  out.max_bytes = *max_bytes;
  out.max_open = *max_open;
  out.threads = *threads;
  return true;
}

bool check_key(PyObject* key) {
  if (key == nullptr || PyCallable_Check(key)) return true;
  if (Ref name = type_name(key)) {
    PyErr_Format(PyExc_TypeError, "key must be a function returning a sort key, not %U",
                 name.get());
  }
  return false;
}

// The codec's encode and decode, or pickle's dumps and loads when there is
// no codec.
bool take_codec(PyObject* codec, Arguments& out) {
  out.has_codec = codec != nullptr;
  if (codec == nullptr) {
    if (!attr_of_module("pickle", "dumps", &out.encode) ||
        !attr_of_module("pickle", "loads", &out.decode)) {
      return false;
    }
    // Only the interpreter's own pickle may be stood in for: a patched or
    // replaced dumps or loads is called as given.
    const int own = pickle::is_interpreters_pickle(out.encode.get(), out.decode.get());
    out.own_pickle = own == 1;
    return own >= 0;
  }
  out.encode = codec_method(codec, "encode");
  out.decode = codec_method(codec, "decode");
  if (out.encode && out.decode) return true;
  if (Ref name = type_name(codec)) {
    PyErr_Format(PyExc_TypeError, "a codec must have encode and decode methods, unlike %U",
                 name.get());
  }
  return false;
}

// Every check the constructor makes before the core sorter, in its order.
// Returns false with the exception set.
bool check_arguments(PyObject* const* arg, Arguments& out) {
  out.key = arg[kKey] == Py_None ? nullptr : arg[kKey];
  PyObject* codec = arg[kCodec] == Py_None ? nullptr : arg[kCodec];
  if (!convert(arg, out) || !check_key(out.key) || !take_codec(codec, out)) return false;
  if (!out.tmp_dir) {
    out.tmp_dir = default_tmp_dir();
    if (!out.tmp_dir) return false;
  }
  // The core checks these again, with the same words.
  if (Result<> r = check_settings(out.max_bytes, out.max_open, out.threads); !r) {
    raise(std::move(r.error()));
    return false;
  }
  return true;
}

// Probes the directory and starts the pool. Returns nullptr with the
// exception set.
std::unique_ptr<Sorter> make_core(const Arguments& args) {
  Config config{.tmp_dir = std::filesystem::path(*args.tmp_dir),
                .max_bytes = static_cast<std::uint64_t>(args.max_bytes),
                .max_open = static_cast<std::uint64_t>(args.max_open),
                .threads = static_cast<std::uint64_t>(args.threads)};
  Result<std::unique_ptr<Sorter>> core;
  {
    // Probing the directory and starting threads touch no Python object.
    Detached detached;
    core = Sorter::create(std::move(config));
  }
  if (!core) return raise(std::move(core.error()));
  return std::move(*core);
}

// Allocates the object and moves everything into it. Returns nullptr with
// the exception set; the core sorter then goes with `lock`.
PyObject* allocate(PyTypeObject* type, Arguments args, std::shared_ptr<Lock> lock) {
  PyObject* obj = type->tp_alloc(type, 0);
  if (obj == nullptr) return nullptr;
  PySorter* self = as_sorter(obj);
  self->has_codec = args.has_codec;
  self->own_pickle = args.own_pickle;
  self->encode = args.encode.release();
  new (&self->lock) std::shared_ptr<Lock>(std::move(lock));
  self->decode = args.decode.release();
  new (&self->added) std::atomic<std::uint64_t>(0);
  self->key = Py_XNewRef(args.key);
  new (&self->status) std::atomic<std::uint32_t>(kStatusOpen);
  return obj;
}

PyObject* sorter_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return boundary([&]() -> PyObject* {
    PyObject* arg[std::size(kParams)];
    Arguments checked;
    if (!bind(kNewSignature, args, kwargs, arg) || !check_arguments(arg, checked)) return nullptr;
    std::unique_ptr<Sorter> core = make_core(checked);
    if (!core) return nullptr;
    auto lock = std::make_shared<Lock>(State(Adding{std::move(core)}));
    return allocate(type, std::move(checked), std::move(lock));
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

Ref sorter_type() { return cached_type(kSorterTypeKey, &sorter_spec); }

PyObject* check_sorter_arguments(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  return boundary([&]() -> PyObject* {
    PyObject* arg[std::size(kParams)];
    Arguments checked;
    if (!bind(kNewSignature, args, nargs, kwnames, arg) || !check_arguments(arg, checked)) {
      return nullptr;
    }
    Py_RETURN_NONE;
  });
}

}  // namespace quillmere::python
