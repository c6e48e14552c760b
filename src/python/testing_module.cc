// _quillmere_test: a module for the Python tests only, built beside
// _quillmere but never installed. It reaches into the Python layer: error
// conversion, and the sorter's lock and state.

#include <Python.h>

#include <array>
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "python/errors.h"
#include "python/key_encoder.h"
#include "python/lock.h"
#include "python/ref.h"
#include "python/sorter_object.h"

namespace quillmere::python {
namespace {

constexpr std::array<std::pair<std::string_view, IoKind>, 20> kKinds = {{
    {"NotFound", IoKind::NotFound},
    {"PermissionDenied", IoKind::PermissionDenied},
    {"ConnectionRefused", IoKind::ConnectionRefused},
    {"ConnectionReset", IoKind::ConnectionReset},
    {"ConnectionAborted", IoKind::ConnectionAborted},
    {"BrokenPipe", IoKind::BrokenPipe},
    {"AlreadyExists", IoKind::AlreadyExists},
    {"WouldBlock", IoKind::WouldBlock},
    {"NotADirectory", IoKind::NotADirectory},
    {"IsADirectory", IoKind::IsADirectory},
    {"TimedOut", IoKind::TimedOut},
    {"Interrupted", IoKind::Interrupted},
    {"OutOfMemory", IoKind::OutOfMemory},
    {"AddrInUse", IoKind::AddrInUse},
    {"InvalidInput", IoKind::InvalidInput},
    {"StorageFull", IoKind::StorageFull},
    {"InvalidData", IoKind::InvalidData},
    {"UnexpectedEof", IoKind::UnexpectedEof},
    {"WriteZero", IoKind::WriteZero},
    {"Other", IoKind::Other},
}};

PyObject* exception_of(Error error) { return to_python(std::move(error)).release(); }

// os_error(errno, path=None): the exception of an operating-system error.
PyObject* os_error(PyObject*, PyObject* args) {
  int err;
  PyObject* path = nullptr;  // bytes in the filesystem encoding
  if (!PyArg_ParseTuple(args, "i|O&", &err, PyUnicode_FSConverter, &path)) return nullptr;
  Ref owned = Ref::steal(path);
  Error error = Error::from_errno(err);
  if (owned) error = std::move(error).with_path(PyBytes_AS_STRING(owned.get()));
  return exception_of(std::move(error));
}

// io_error(kind, message=None): the exception of an I/O error of a kind.
PyObject* io_error(PyObject*, PyObject* args) {
  const char* name;
  const char* message = nullptr;
  if (!PyArg_ParseTuple(args, "s|z", &name, &message)) return nullptr;
  for (const auto& [kind_name, kind] : kKinds) {
    if (kind_name != name) continue;
    return exception_of(message ? Error::io(kind, message) : Error::io(kind));
  }
  PyErr_Format(PyExc_ValueError, "no kind %s", name);
  return nullptr;
}

PyObject* kinds(PyObject*, PyObject*) {
  Ref list = Ref::steal(PyList_New(0));
  if (!list) return nullptr;
  for (const auto& entry : kKinds) {
    Ref name = Ref::steal(PyUnicode_FromStringAndSize(entry.first.data(), entry.first.size()));
    if (!name || PyList_Append(list.get(), name.get()) < 0) return nullptr;
  }
  return list.release();
}

PyObject* invalid(PyObject*, PyObject* arg) {
  const char* message = PyUnicode_AsUTF8(arg);
  if (message == nullptr) return nullptr;
  return exception_of(Error::invalid(message));
}

PyObject* lost(PyObject*, PyObject*) { return exception_of(Error::lost()); }

Lock* lock_of(PyObject* o) {
  if (!is_sorter(o)) {
    PyErr_SetString(PyExc_TypeError, "not a Sorter");
    return nullptr;
  }
  return reinterpret_cast<PySorter*>(o)->lock.get();
}

// hold_lock(sorter, callback): calls callback() while holding the sorter's
// lock, as the adding and reading paths do around their work.
PyObject* hold_lock(PyObject*, PyObject* args) {
  PyObject* sorter;
  PyObject* callback;
  if (!PyArg_ParseTuple(args, "OO", &sorter, &callback)) return nullptr;
  Lock* lock = lock_of(sorter);
  if (lock == nullptr) return nullptr;
  std::optional<Guard> guard;
  {
    Detached detached;
    if (std::optional<Guard> g = lock->acquire()) guard.emplace(std::move(*g));
  }
  if (!guard) return raise_message(PyExc_RuntimeError, "reentrant call");
  return PyObject_CallNoArgs(callback);
}

// state(sorter): the name of the state behind the sorter's lock.
PyObject* state(PyObject*, PyObject* sorter) {
  Lock* lock = lock_of(sorter);
  if (lock == nullptr) return nullptr;
  static constexpr const char* kNames[] = {"Adding", "Reading", "Done", "Stopped", "Closed"};
  std::size_t index = 0;
  bool reentrant = false;
  {
    Detached detached;
    std::optional<Guard> guard = lock->acquire();
    if (guard) index = guard->state().index();
    reentrant = !guard;
  }
  if (reentrant) return raise_message(PyExc_RuntimeError, "reentrant call");
  return PyUnicode_FromString(kNames[index]);
}

// encode_key(key): the encoded key, as bytes.
PyObject* encode(PyObject*, PyObject* key) {
  key::Buffer out;
  if (!encode_key(key, out, 0)) return nullptr;
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(out.data()),
                                   static_cast<Py_ssize_t>(out.size()));
}

// Runs f on the core sorter of an Adding state, detached, under the lock.
// Raises RuntimeError if the sorter is no longer adding.
template <class F>
bool with_core(PyObject* sorter, F f) {
  Lock* lock = lock_of(sorter);
  if (lock == nullptr) return false;
  bool adding = false;
  {
    Detached detached;
    std::optional<Guard> guard = lock->acquire();
    if (guard) {
      if (auto* a = std::get_if<Adding>(&guard->state())) {
        adding = true;
        f(*a->sorter);
      }
    }
  }
  if (!adding) PyErr_SetString(PyExc_RuntimeError, "the sorter is not adding");
  return adding;
}

// wait_spill(sorter): waits for the spill in flight; raises its error.
PyObject* wait_spill(PyObject*, PyObject* sorter) {
  std::optional<Error> error;
  if (!with_core(sorter, [&](Sorter& core) {
        if (Result<> r = core.wait(); !r) error = std::move(r.error());
      })) {
    return nullptr;
  }
  if (error) return raise(std::move(*error));
  Py_RETURN_NONE;
}

// must_wait(sorter, need): whether adding a record of `need` bytes would
// wait for the spill in flight.
PyObject* must_wait(PyObject*, PyObject* args) {
  PyObject* sorter;
  unsigned long long need;
  if (!PyArg_ParseTuple(args, "OK", &sorter, &need)) return nullptr;
  bool waits = false;
  if (!with_core(sorter, [&](Sorter& core) { waits = core.spilling() && core.must_spill(need); })) {
    return nullptr;
  }
  return PyBool_FromLong(waits);
}

// runs(sorter): [(path, count, bytes)] of the runs spilled so far.
PyObject* runs(PyObject*, PyObject* sorter) {
  std::vector<Run> copy;
  if (!with_core(sorter, [&](Sorter& core) { copy = core.runs(); })) return nullptr;
  Ref list = Ref::steal(PyList_New(0));
  if (!list) return nullptr;
  for (const Run& run : copy) {
    Ref path = Ref::steal(PyUnicode_DecodeFSDefault(run.path.c_str()));
    if (!path) return nullptr;
    Ref item = Ref::steal(Py_BuildValue("(OKK)", path.get(), static_cast<unsigned long long>(run.count),
                                        static_cast<unsigned long long>(run.bytes)));
    if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
  }
  return list.release();
}

// A gate that keeps every thread of a sorter's pool busy until opened, so
// that a spill (whose sort runs on the pool) cannot finish meanwhile.
struct Gate {
  std::mutex mu;
  std::condition_variable changed;
  bool open = false;
};

struct PyGate {
  PyObject_HEAD
  std::shared_ptr<Gate> gate;
};

void open_gate(Gate& gate) {
  {
    std::lock_guard lock(gate.mu);
    gate.open = true;
  }
  gate.changed.notify_all();
}

PyObject* gate_open(PyObject* self, PyObject*) {
  open_gate(*reinterpret_cast<PyGate*>(self)->gate);
  Py_RETURN_NONE;
}

void gate_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto* g = reinterpret_cast<PyGate*>(self);
  if (g->gate) open_gate(*g->gate);  // never leave the pool stuck
  std::destroy_at(&g->gate);
  type->tp_free(self);
  Py_DECREF(type);
}

PyMethodDef gate_methods[] = {
    {"open", gate_open, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot gate_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(gate_dealloc)},
    {Py_tp_methods, gate_methods},
    {0, nullptr},
};

PyType_Spec gate_spec = {
    .name = "_quillmere_test.Gate",
    .basicsize = sizeof(PyGate),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = gate_slots,
};

// hold_pool(sorter): a Gate holding every pool thread of the sorter.
PyObject* hold_pool(PyObject*, PyObject* sorter) {
  auto gate = std::make_shared<Gate>();
  bool has_pool = false;
  if (!with_core(sorter, [&](Sorter& core) {
        if (!core.pool()) return;
        has_pool = true;
        for (std::size_t i = 0; i < core.pool()->size(); ++i) {
          core.pool()->submit([gate] {
            std::unique_lock lock(gate->mu);
            gate->changed.wait(lock, [&] { return gate->open; });
          });
        }
      })) {
    return nullptr;
  }
  if (!has_pool) return raise_message(PyExc_ValueError, "the sorter has no pool");
  Ref type = cached_type("_quillmere_test.Gate", &gate_spec);
  if (!type) {
    open_gate(*gate);
    return nullptr;
  }
  PyObject* obj = reinterpret_cast<PyTypeObject*>(type.get())->tp_alloc(
      reinterpret_cast<PyTypeObject*>(type.get()), 0);
  if (obj == nullptr) {
    open_gate(*gate);
    return nullptr;
  }
  new (&reinterpret_cast<PyGate*>(obj)->gate) std::shared_ptr<Gate>(std::move(gate));
  return obj;
}

PyMethodDef methods[] = {
    {"wait_spill", wait_spill, METH_O, nullptr},
    {"runs", runs, METH_O, nullptr},
    {"must_wait", must_wait, METH_VARARGS, nullptr},
    {"hold_pool", hold_pool, METH_O, nullptr},
    {"encode_key", encode, METH_O, nullptr},
    {"os_error", os_error, METH_VARARGS, nullptr},
    {"io_error", io_error, METH_VARARGS, nullptr},
    {"kinds", kinds, METH_NOARGS, nullptr},
    {"invalid", invalid, METH_O, nullptr},
    {"lost", lost, METH_NOARGS, nullptr},
    {"hold_lock", hold_lock, METH_VARARGS, nullptr},
    {"state", state, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_quillmere_test",
    .m_doc = nullptr,
    .m_size = 0,
    .m_methods = methods,
    .m_slots = slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace
}  // namespace quillmere::python

PyMODINIT_FUNC PyInit__quillmere_test() {
  return PyModuleDef_Init(&quillmere::python::module_def);
}
