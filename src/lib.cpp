// The Python module `tilewise`: its initialisation, the function `shanten`,
// argument parsing, acceptance of the array, and the conversion of every
// failure into a Python exception. It is the only file that talks to Python
// and NumPy; no C++ exception leaves it.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/arrayobject.h>

#include <atomic>
#include <cstring>
#include <exception>
#include <new>
#include <string>

#include "panic.hpp"
#include "solver.hpp"

// TILEWISE_NULL_CALL is for bench/bench.py alone, which builds this file with
// it as the module tilewise_null: the same call, argument checks and tile
// total, but no solver, so that a call's own work can be told apart.
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

// Created once per process; never released.
PyObject* panic_exception = nullptr;
PyArray_Descr* uint8_descr = nullptr;

const char kPanicDoc[] =
    "Raised when native code called from Python stops with a panic.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so that it\n"
    "usually propagates all the way up the stack and ends the interpreter instead of\n"
    "being caught by a broad `except Exception`.";

PyObject* panic_exception_type() {
    if (panic_exception == nullptr)
        panic_exception = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc,
                                                     PyExc_BaseException, nullptr);
    return panic_exception;
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

// Finds NumPy's C API table on first use. NumPy 2 keeps it in
// numpy._core.multiarray; asking for numpy.core.multiarray there warns, which
// `-W error` turns into a failure. NumPy 1 has only numpy.core.multiarray.
void load_numpy_api() {
    if (PyArray_API != nullptr) return;
    PyObject* module = PyImport_ImportModule("numpy._core.multiarray");
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
    void* api = capsule ? PyCapsule_GetPointer(capsule, nullptr) : nullptr;
    Py_XDECREF(capsule);  // NumPy's module keeps the capsule alive
    if (api == nullptr) {
        PyErr_Clear();
        panic("Failed to get NumPy API capsule");
    }
    PyArray_API = static_cast<void**>(api);
    uint8_descr = PyArray_DescrFromType(NPY_UBYTE);
    if (uint8_descr == nullptr) {
        PyArray_API = nullptr;
        PyErr_Clear();
        panic("Failed to get NumPy API capsule");
    }
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
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, i);
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &size) : nullptr;
        if (utf8 == nullptr) PyErr_Clear();  // not encodable: no match, reported by str()
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
    load_numpy_api();
    if (!PyArray_Check(hand)) {
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
    if (descr != uint8_descr && !PyArray_EquivTypes(descr, uint8_descr)) {
        PyObject* shown = PyObject_Str(reinterpret_cast<PyObject*>(descr));
        if (shown == nullptr) return nullptr;
        type_error(PyUnicode_FromFormat("argument 'hand': type mismatch:\n from=%U, to=uint8", shown));
        Py_DECREF(shown);
        return nullptr;
    }
    return array;
}

// --- shanten(hand) ------------------------------------------------------------------

// The sum of 34 contiguous counts, eight bytes at a time: each word's bytes
// are added in pairs into 16-bit lanes, which no 34 counts can overflow
// (34 * 255 < 65536); one multiplication then adds the four lanes.
size_t contiguous_total(const uint8_t* counts) {
    static_assert(tilewise::kTileKinds == 34, "four words and two bytes");
    constexpr uint64_t kLow = 0x00FF00FF00FF00FF;
    uint64_t lanes = 0;
    for (size_t k = 0; k < 32; k += 8) {
        uint64_t word;
        std::memcpy(&word, counts + k, sizeof word);
        lanes += (word & kLow) + ((word >> 8) & kLow);
    }
    return static_cast<size_t>((lanes * 0x0001000100010001) >> 48) + counts[32] + counts[33];
}

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

PyObject* shanten(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return at_boundary([&]() -> PyObject* {
        PyObject* hand = nullptr;
        const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
        if (nargs == 1 && kwnames == nullptr) {
            hand = args[0];
        } else if (!parse_arguments(args, nargs, kwnames, &hand)) {
            return nullptr;
        }
        PyArrayObject* array = accept_array(hand);
        if (array == nullptr) return nullptr;

        // Itemsize 1, so the byte stride is the element stride. The array is
        // only read, in place, while the caller's reference keeps it alive.
        const tilewise::HandView view{static_cast<const uint8_t*>(PyArray_DATA(array)),
                                      static_cast<size_t>(PyArray_DIM(array, 0)), PyArray_STRIDE(array, 0)};
#if !defined(TILEWISE_NULL_CALL)
        // Once the tables are built, the common hand's rows are looked up
        // first: they are on their way from memory while the total is summed
        // and checked. The lookup stops nothing; the checks keep their order.
        tilewise::Rows rows;
        const tilewise::Solver* built = tilewise::SOLVER.if_built();
        const bool fetched = built != nullptr && built->fetch_rows(view, rows);
#endif
        size_t total = 0;
        if (view.stride == 1 && view.length == tilewise::kTileKinds) {
            total = contiguous_total(view.first);
        } else {
            for (size_t k = 0; k < view.length; ++k) total += view.first[static_cast<ptrdiff_t>(k) * view.stride];
        }
        const size_t melds = fixed_melds(total);
#if defined(TILEWISE_NULL_CALL)
        const auto result = static_cast<int32_t>(melds);
#else
        const tilewise::Solver& solver = tilewise::SOLVER.get();
        const int32_t result = fetched ? solver.shanten(rows, melds) : solver.shanten(view, melds);
#endif
        return PyLong_FromLong(result);
    });
}

PyMethodDef shanten_def = {"shanten", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(shanten)),
                           METH_FASTCALL | METH_KEYWORDS, ""};

// --- Initialisation ---------------------------------------------------------------

// Adds `shanten` to the module and to its __all__.
PyObject* module_body(PyObject* module) {
    if (panic_exception_type() == nullptr) return nullptr;
    const char* module_name = PyModule_GetName(module);
    if (module_name == nullptr) return nullptr;
    PyObject* name_str = PyUnicode_FromString(module_name);
    if (name_str == nullptr) return nullptr;
    PyObject* function = PyCMethod_New(&shanten_def, module, name_str, nullptr);
    Py_DECREF(name_str);
    if (function == nullptr) return nullptr;

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
        PyObject* module = PyModule_Create2(&module_def, 1013);
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
