// _quillmere_test: a module for the Python tests only, built beside
// _quillmere but never installed. It reaches into the sorter's lock and its
// core, to hold a spill or the lock still while a test acts. The core's
// pool, which the product never hands out while adding, is reached through
// SorterTestPeer, a friend of the core Sorter defined here alone.

#include <Python.h>

#include <memory>
#include <optional>
#include <utility>
#include <variant>

#include "python/errors.h"
#include "python/lock.h"
#include "python/ref.h"
#include "python/sorter_object.h"
#include "sorter/sorter.h"

namespace quillmere {

class SorterTestPeer {
 public:
  // The sorter's pool, or null when it has none.
  static std::shared_ptr<WorkerPool> pool_of(const Sorter& sorter) { return sorter.pool_; }
};

}  // namespace quillmere

namespace quillmere::python {
namespace {

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

// A gate that pauses a sorter's pool until opened, so that a spill (whose
// sort runs on the pool) cannot finish meanwhile. A pool dropped while
// paused still finishes its tasks, so the gate keeps no share of it.
struct Gate {
  std::weak_ptr<WorkerPool> pool;

  void open() const {
    if (std::shared_ptr<WorkerPool> p = pool.lock()) p->resume();
  }
};

constexpr const char* kGateName = "quillmere.test.gate";

// A capsule holds the gate; collecting it opens the gate, so that no test
// leaves a pool stuck.
void drop_gate(PyObject* capsule) {
  auto* gate = static_cast<Gate*>(PyCapsule_GetPointer(capsule, kGateName));
  gate->open();
  delete gate;
}

// open_gate(gate): lets the pool's tasks go.
PyObject* open(PyObject*, PyObject* capsule) {
  auto* gate = static_cast<Gate*>(PyCapsule_GetPointer(capsule, kGateName));
  if (gate == nullptr) return nullptr;
  gate->open();
  Py_RETURN_NONE;
}

// hold_pool(sorter): a gate pausing the sorter's pool.
PyObject* hold_pool(PyObject*, PyObject* sorter) {
  std::shared_ptr<WorkerPool> pool;
  if (!with_core(sorter, [&](Sorter& core) { pool = SorterTestPeer::pool_of(core); })) {
    return nullptr;
  }
  if (pool == nullptr) return raise_message(PyExc_ValueError, "the sorter has no pool");
  auto* gate = new Gate{pool};
  PyObject* capsule = PyCapsule_New(gate, kGateName, drop_gate);
  if (capsule == nullptr) {
    delete gate;
    return nullptr;
  }
  pool->pause();
  return capsule;
}

PyMethodDef methods[] = {
    {"wait_spill", wait_spill, METH_O, nullptr},
    {"must_wait", must_wait, METH_VARARGS, nullptr},
    {"hold_pool", hold_pool, METH_O, nullptr},
    {"open_gate", open, METH_O, nullptr},
    {"hold_lock", hold_lock, METH_VARARGS, nullptr},
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
