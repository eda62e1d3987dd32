#include <Python.h>

static PyModuleDef tilewise_module = {PyModuleDef_HEAD_INIT, "tilewise", "", 0};

PyMODINIT_FUNC PyInit_tilewise(void) { return PyModule_Create2(&tilewise_module, 1013); }
