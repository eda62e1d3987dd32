// The Python module `tilewise`. This file holds its initialisation, the
// function `shanten`, argument parsing, acceptance of the array, and the
// conversion of every failure into a Python exception. It is the only file
// that talks to Python and NumPy, and no C++ exception leaves it.
//
// A GIL build uses only the stable ABI of CPython 3.10 (the build defines
// Py_LIMITED_API as 0x030A0000), so that one module file loads into 3.10
// and every later CPython. A free-threaded build has no stable ABI to use
// and is built for its own version; only it needs CPython's unstable API,
// in the one place that module_body() marks.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
// NumPy's own global API table is not used (see NumpyApi), so any macro that
// would read it fails to link.
#define NO_IMPORT_ARRAY
#include <numpy/arrayobject.h>

#include <atomic>
#include <cstring>
#include <exception>
#include <new>
#include <string>

#include "panic.hpp"
#include "solver.hpp"

// TILEWISE_NULL_CALL is for bench/bench.py alone, which builds this file with
// it as the module tilewise_null. That module makes the same call, argument
// checks and tile total, but has no solver, so that a call's own work can be
// told apart.
#if defined(TILEWISE_NULL_CALL)
#define TILEWISE_MODULE_NAME "tilewise_null"
#define TILEWISE_MODULE_INIT PyInit_tilewise_null
#else
#define TILEWISE_MODULE_NAME "tilewise"
#define TILEWISE_MODULE_INIT PyInit_tilewise
#endif

namespace {

using tilewise::Panic;
using tilewise::panic;

// --- The module's own records ------------------------------------------------

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, TILEWISE_MODULE_NAME, "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};

// CPython calls the initialisation of a single-phase module again after the
// module leaves sys.modules, and in every sub-interpreter; only the first may
// succeed, as the module keeps process-wide state.
std::atomic<bool> initialised{false};

// Created once per process, by whichever thread needs it first; never
// released.
std::atomic<PyObject*> panic_exception{nullptr};

const char kPanicDoc[] =
    "Raised when native code called from Python stops with a panic.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so that it\n"
    "usually propagates all the way up the stack and ends the interpreter instead of\n"
    "being caught by a broad `except Exception`.";

// The exception's name and the texts of the panics and TypeErrors that this
// module raises read as they do because callers match them byte for byte.
// None of them may change, not even in its wording or spacing.
//
// Threads that race to create the type each make one; the first to publish
// it wins, and the others drop theirs, so every panic has the one type.
PyObject* panic_exception_type() {
    PyObject* type = panic_exception.load(std::memory_order_acquire);
    if (type != nullptr) return type;
    PyObject* made = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc, PyExc_BaseException, nullptr);
    if (made == nullptr) return nullptr;
    if (panic_exception.compare_exchange_strong(type, made, std::memory_order_acq_rel, std::memory_order_acquire))
        return made;
    Py_DECREF(made);
    return type;
}

// --- Failures -------------------------------------------------------------------

void raise_panic(const Panic& p) {
    tilewise::report(p);
    PyObject* type = panic_exception_type();
    if (type == nullptr) return;  // its creation left an error set
    PyObject* message = PyUnicode_DecodeUTF8(p.message.data(), static_cast<Py_ssize_t>(p.message.size()), "replace");
    if (message == nullptr) return;
    PyErr_SetObject(type, message);
    Py_DECREF(message);
}

// Runs `body` and turns every C++ exception it throws into a Python error:
// a panic into PanicException, exhausted memory into MemoryError. A body
// reports Python errors the CPython way, by returning NULL with one set.
template <class Body>
PyObject* at_boundary(Body body) noexcept {
    try {
        return body();
    } catch (const Panic& p) {
        raise_panic(p);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_panic({e.what(), __FILE__, __LINE__});
    } catch (...) {
        raise_panic({"unknown C++ exception", __FILE__, __LINE__});
    }
    return nullptr;
}

// --- NumPy ------------------------------------------------------------------------

// The parts of NumPy's C API that this module uses: the array type, the
// type-equivalence test, and the uint8 descriptor to test against. Found by
// the first call that needs them, then never changed or released. One atomic
// pointer publishes all three at once, so that no thread sees some without
// the others.
struct NumpyApi {
    PyTypeObject* array_type;
    npy_bool (*equivalent)(PyArray_Descr*, PyArray_Descr*);
    PyArray_Descr* uint8;
};

std::atomic<const NumpyApi*> numpy_api{nullptr};

// Slots of NumPy's API table.
constexpr int kArrayTypeSlot = 2, kDescrFromTypeSlot = 45, kEquivTypesSlot = 182;

// The module `name` if it is imported already, else null; never imports.
PyObject* imported_module(const char* name) {
    PyObject* key = PyUnicode_FromString(name);
    PyObject* module = key ? PyImport_GetModule(key) : nullptr;
    Py_XDECREF(key);
    PyErr_Clear();
    return module;
}

// NumPy 2 keeps the API table in numpy._core.multiarray; asking for
// numpy.core.multiarray there warns, which `-W error` turns into a failure.
// NumPy 1 has only numpy.core.multiarray. Whenever the argument is an array
// NumPy is imported, and the module is taken from sys.modules, because an
// import takes the import system's lock for the module's name, even one
// that fails (numpy._core under NumPy 1), and the child of a fork made while
// another thread held that lock would wait for it forever.
void** find_numpy_table() {
    PyObject* module = imported_module("numpy._core.multiarray");
    if (module == nullptr) module = imported_module("numpy.core.multiarray");
    if (module == nullptr) module = PyImport_ImportModule("numpy._core.multiarray");
    PyObject* capsule = module ? PyObject_GetAttrString(module, "_ARRAY_API") : nullptr;
    if (capsule == nullptr) {
        PyErr_Clear();
        Py_XDECREF(module);
        module = PyImport_ImportModule("numpy.core.multiarray");
        if (module == nullptr) {
            PyErr_Clear();
            panic("Failed to import NumPy module");
        }
        capsule = PyObject_GetAttrString(module, "_ARRAY_API");
    }
    Py_DECREF(module);
    void* table = capsule ? PyCapsule_GetPointer(capsule, nullptr) : nullptr;
    Py_XDECREF(capsule);  // NumPy's module keeps the capsule alive
    if (table == nullptr) {
        PyErr_Clear();
        panic("Failed to get NumPy API capsule");
    }
    return static_cast<void**>(table);
}

// Threads that find it missing at the same time each look it up, with no
// lock held while they call into Python; the first to publish wins.
const NumpyApi& load_numpy_api() {
    if (const NumpyApi* api = numpy_api.load(std::memory_order_acquire)) return *api;
    void** table = find_numpy_table();
    auto descr_from_type = reinterpret_cast<PyArray_Descr* (*)(int)>(table[kDescrFromTypeSlot]);
    auto* found = new NumpyApi{static_cast<PyTypeObject*>(table[kArrayTypeSlot]),
                               reinterpret_cast<npy_bool (*)(PyArray_Descr*, PyArray_Descr*)>(table[kEquivTypesSlot]),
                               descr_from_type(NPY_UBYTE)};
    if (found->uint8 == nullptr) {
        delete found;
        PyErr_Clear();
        panic("Failed to get NumPy API capsule");
    }
    const NumpyApi* published = nullptr;
    if (numpy_api.compare_exchange_strong(published, found, std::memory_order_acq_rel, std::memory_order_acquire))
        return *found;
    Py_DECREF(found->uint8);
    delete found;
    return *published;
}

// --- Arguments ----------------------------------------------------------------------

bool type_error(PyObject* message) {
    if (message != nullptr) {
        PyErr_SetObject(PyExc_TypeError, message);
        Py_DECREF(message);
    }
    return false;
}

// Fills `hand` from a vectorcall's arguments: one positional argument, or
// the keyword `hand`. Returns false with a TypeError set otherwise.
bool parse_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** hand) {
    if (nargs > 1)
        return type_error(PyUnicode_FromFormat("shanten() takes 1 positional arguments but %zd were given", nargs));
    *hand = nargs == 1 ? args[0] : nullptr;
    const Py_ssize_t nkw = kwnames ? PyTuple_Size(kwnames) : 0;
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        PyObject* name = PyTuple_GetItem(kwnames, i);
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &size) : nullptr;
        if (utf8 == nullptr) PyErr_Clear();  // A name that cannot be encoded matches nothing; str() shows it.
        if (utf8 == nullptr || size != 4 || std::memcmp(utf8, "hand", 4) != 0) {
            PyObject* shown = PyObject_Str(name);
            if (shown == nullptr) return false;
            const bool ok = type_error(PyUnicode_FromFormat("shanten() got an unexpected keyword argument '%U'", shown));
            Py_DECREF(shown);
            return ok;
        }
        if (*hand != nullptr)
            return type_error(PyUnicode_FromString("shanten() got multiple values for argument 'hand'"));
        *hand = args[nargs + i];
    }
    if (*hand == nullptr)
        return type_error(PyUnicode_FromString("shanten() missing 1 required positional argument: 'hand'"));
    return true;
}

PyObject* type_name(PyObject* object) {
    PyObject* name = PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__");
    if (name != nullptr && PyUnicode_Check(name)) return name;
    Py_XDECREF(name);
    PyErr_Clear();
    return PyUnicode_FromString("<failed to extract type name>");
}

// The array in `hand`, if it is a one-dimensional ndarray (or subclass) of
// uint8 or an equivalent type; otherwise NULL with a TypeError set.
PyArrayObject* accept_array(PyObject* hand) {
    const NumpyApi& numpy = load_numpy_api();
    if (!PyObject_TypeCheck(hand, numpy.array_type)) {
        PyObject* name = type_name(hand);
        if (name == nullptr) return nullptr;
        type_error(PyUnicode_FromFormat("argument 'hand': '%U' object cannot be converted to 'PyArray<T, D>'", name));
        Py_DECREF(name);
        return nullptr;
    }
    PyArrayObject* array = reinterpret_cast<PyArrayObject*>(hand);
    if (PyArray_NDIM(array) != 1) {
        type_error(PyUnicode_FromFormat("argument 'hand': dimensionality mismatch:\n from=%d, to=1", PyArray_NDIM(array)));
        return nullptr;
    }
    PyArray_Descr* descr = PyArray_DESCR(array);
    if (descr != numpy.uint8 && !numpy.equivalent(descr, numpy.uint8)) {
        PyObject* shown = PyObject_Str(reinterpret_cast<PyObject*>(descr));
        if (shown == nullptr) return nullptr;
        type_error(PyUnicode_FromFormat("argument 'hand': type mismatch:\n from=%U, to=uint8", shown));
        Py_DECREF(shown);
        return nullptr;
    }
    return array;
}

// --- shanten(hand) ------------------------------------------------------------------

// Melds already outside the hand, from its number of tiles.
size_t fixed_melds(size_t total) {
    switch (total) {
        case 1: case 2: return 4;
        case 4: case 5: return 3;
        case 7: case 8: return 2;
        case 10: case 11: return 1;
        case 13: case 14: return 0;
        default: panic("hand.iter().sum() must be 1, 2, 4, 5, 7, 8, 10, 11, 13 or 14");
    }
}

#if !defined(TILEWISE_NULL_CALL)
// The kernel named by TILEWISE_KERNEL, a testing aid, into `name` (empty
// when unset). It is read from os.environ, not with getenv(), because on a
// free-threaded build another thread may change the environment meanwhile,
// and only the mapping is safe to read then. False with a Python error set
// if it fails.
bool requested_kernel(std::string& name) {
    // The variable is not named `environ`, because Windows' <stdlib.h>
    // defines that as a macro for the C runtime's own environment block.
    PyObject* os = PyImport_ImportModule("os");
    PyObject* os_environ = os ? PyObject_GetAttrString(os, "environ") : nullptr;
    Py_XDECREF(os);
    PyObject* value = os_environ ? PyObject_CallMethod(os_environ, "get", "s", "TILEWISE_KERNEL") : nullptr;
    Py_XDECREF(os_environ);
    if (value == nullptr) return false;
    PyObject* bytes = value == Py_None ? nullptr : PyUnicode_EncodeFSDefault(value);
    Py_DECREF(value);
    if (bytes != nullptr) {
        name.assign(PyBytes_AsString(bytes), static_cast<size_t>(PyBytes_Size(bytes)));
        Py_DECREF(bytes);
    }
    return !PyErr_Occurred();
}

#if defined(Py_GIL_DISABLED)
// Detaches the calling thread from the interpreter for its lifetime, so
// that a thread blocked in native code does not hold up the interpreter's
// stop-the-world pauses (a collection, say).
class Detached {
public:
    Detached() : state_(PyEval_SaveThread()) {}
    ~Detached() { PyEval_RestoreThread(state_); }
    Detached(const Detached&) = delete;
    Detached& operator=(const Detached&) = delete;

private:
    PyThreadState* state_;
};
#endif

// The shared solver, built by the first call that needs it; null with a
// Python error set if the kernel's name cannot be read. Under the GIL the
// build holds every other thread, as every call does. On a free-threaded
// build the thread detaches while it builds, or waits for another thread's
// build. The build calls nothing in Python, so no lock is held across such
// a call.
const tilewise::Solver* build_shared_solver() {
    std::string kernel;
    if (!requested_kernel(kernel)) return nullptr;
#if defined(Py_GIL_DISABLED)
    Detached detached;
#endif
    return &tilewise::SOLVER.get(kernel);
}

// The call that finds the tables not built yet. It checks the total first,
// so that a refused hand never builds them.
__attribute__((noinline)) PyObject* shanten_before_tables(tilewise::Counts counts, size_t total) {
    const size_t melds = fixed_melds(total);
    const tilewise::Solver* solver = build_shared_solver();
    if (solver == nullptr) return nullptr;
    return PyLong_FromLong(solver->shanten(solver->rows(counts), melds));
}
#endif

// A METH_FASTCALL function gets the count of its positional arguments, with
// no flag bits: CPython clears PY_VECTORCALL_ARGUMENTS_OFFSET before the call.
PyObject* shanten(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return at_boundary([&]() -> PyObject* {
        PyObject* hand = nullptr;
        if (nargs == 1 && kwnames == nullptr) {
            hand = args[0];
        } else if (!parse_arguments(args, nargs, kwnames, &hand)) {
            return nullptr;
        }
        PyArrayObject* array = accept_array(hand);
        if (array == nullptr) return nullptr;

        // Itemsize 1, so the byte stride is the element stride. The array is
        // only read, in place, while the caller's reference keeps it alive;
        // every count is read once, and all that follows uses what was read.
        const tilewise::HandView view{static_cast<const uint8_t*>(PyArray_DATA(array)),
                                      static_cast<size_t>(PyArray_DIM(array, 0)), PyArray_STRIDE(array, 0)};
        tilewise::Counts counts;
        const size_t total = tilewise::read_hand(view, counts);
#if defined(TILEWISE_NULL_CALL)
        return PyLong_FromLong(static_cast<long>(fixed_melds(total)));
#else
        const tilewise::Solver* solver = tilewise::SOLVER.if_built();
        if (solver == nullptr) return shanten_before_tables(counts, total);
        // The common hand's rows are looked up first, so that they are on
        // their way from memory while the total is checked. The lookup stops
        // nothing; the checks keep their order.
        tilewise::Rows rows;
        const bool fetched = solver->fetch_rows(counts, rows);
        const size_t melds = fixed_melds(total);
        return PyLong_FromLong(solver->shanten(fetched ? rows : solver->rows(counts), melds));
#endif
    });
}

PyMethodDef shanten_def = {"shanten", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(shanten)),
                           METH_FASTCALL | METH_KEYWORDS, ""};

// --- Initialisation ---------------------------------------------------------------

// Adds `shanten` to the module and to its __all__.
PyObject* module_body(PyObject* module) {
    if (panic_exception_type() == nullptr) return nullptr;
#if !defined(TILEWISE_NULL_CALL)
    tilewise::wait_for_the_build_at_fork();
#endif
    const char* module_name = PyModule_GetName(module);
    if (module_name == nullptr) return nullptr;
    PyObject* name_str = PyUnicode_FromString(module_name);
    if (name_str == nullptr) return nullptr;
    PyObject* function = PyCMethod_New(&shanten_def, module, name_str, nullptr);
    Py_DECREF(name_str);
    if (function == nullptr) return nullptr;
#if defined(Py_GIL_DISABLED)
    // Where the two builds differ: the free-threaded build, version-specific,
    // uses two calls of CPython's unstable API, which the stable ABI lacks and
    // a GIL build does not need. Every piece of the module's process-wide
    // state is safe without the GIL, so importing it leaves the GIL off.
    if (PyUnstable_Module_SetGIL(module, Py_MOD_GIL_NOT_USED) < 0) {
        Py_DECREF(function);
        return nullptr;
    }
#if PY_VERSION_HEX >= 0x030E0000
    // Threads calling the function at once would otherwise all write its
    // reference count on every call.
    PyUnstable_Object_EnableDeferredRefcount(function);
#endif
#endif

    PyObject* result = nullptr;
    PyObject* function_name = PyObject_GetAttrString(function, "__name__");
    PyObject* all = function_name ? PyObject_GetAttrString(module, "__all__") : nullptr;
    if (function_name != nullptr && all == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        all = PyList_New(0);
        if (all != nullptr && PyObject_SetAttrString(module, "__all__", all) < 0) Py_CLEAR(all);
    }
    if (all != nullptr && PyList_Append(all, function_name) == 0 &&
        PyObject_SetAttr(module, function_name, function) == 0)
        result = module;
    Py_XDECREF(all);
    Py_XDECREF(function_name);
    Py_DECREF(function);
    return result;
}

}  // namespace

PyMODINIT_FUNC TILEWISE_MODULE_INIT(void) {
    return at_boundary([]() -> PyObject* {
        // The API version that PyModule_Create passes is the stable ABI's
        // under Py_LIMITED_API, and this CPython's otherwise.
        PyObject* module = PyModule_Create(&module_def);
        if (module == nullptr) {
            if (!PyErr_Occurred())
                PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
            return nullptr;
        }
        if (initialised.exchange(true)) {
            Py_DECREF(module);
            PyErr_SetString(PyExc_ImportError, "PyO3 modules may only be initialized once per interpreter process");
            return nullptr;
        }
        PyObject* body = nullptr;
        try {
            body = module_body(module);
        } catch (...) {
            Py_DECREF(module);
            throw;
        }
        if (body == nullptr) Py_DECREF(module);
        return body;
    });
}
