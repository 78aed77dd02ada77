/* The floor of the benchmark: what one event's Python objects cost when they
 * are made in C with no I/O at all.
 *
 * `events(reader_type, count, samples, event_bytes)` returns an iterator that
 * yields `count` dictionaries shaped like the module's events: the same keys
 * in the same order, `int` values like the benchmark's files hold, and under
 * "data" a one-dimensional array over a freshly allocated, unwritten block of
 * `samples` values whose base is an owner object that frees the block. The
 * objects are made the cheapest way the C API offers (presized dict, interned
 * keys, NumPy's table taken from its capsule at run time, no strides), so
 * nothing a reader of files could do makes them faster.
 *
 * run.py compiles this file itself, with the interpreter's headers only.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <stdint.h>

/* Entries of NumPy's C-API table. */
#define API_ARRAY_TYPE 2
#define API_DESCR_FROM_TYPE 45
#define API_NEW_FROM_DESCR 94
#define API_SET_BASE_OBJECT 282
#define NPY_USHORT 4
#define NPY_FLOAT 11
#define NPY_ARRAY_WRITEABLE 0x0400

typedef PyObject* (*DescrFromType)(int);
typedef PyObject* (*NewFromDescr)(PyTypeObject*, PyObject*, int, Py_intptr_t*, Py_intptr_t*, void*, int, PyObject*);
typedef int (*SetBaseObject)(PyObject*, PyObject*);

static void** api;
static PyTypeObject* owner_type;
static PyTypeObject* events_type;
static PyObject* keys[10];
static const char* key_names[10] = {"event_size", "board_id", "pattern", "board_channel", "event_counter",
                                    "timestamp", "samples", "sampling_period", "channels", "data"};
static char empty_block[8];

/* ---- the owner of a block ---------------------------------------------- */

typedef struct {
    PyObject_HEAD
    void* data;
    Py_ssize_t bytes;
} Owner;

static void owner_dealloc(PyObject* self) {
    Owner* owner = (Owner*)self;
    if (owner->bytes != 0) {
        PyMem_RawFree(owner->data);
    }
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

static PyType_Slot owner_slots[] = {
    {Py_tp_dealloc, (void*)owner_dealloc},
    {0, NULL},
};
static PyType_Spec owner_spec = {"pelvar_floor.Owner", sizeof(Owner), 0, Py_TPFLAGS_DEFAULT, owner_slots};

/* ---- the events -------------------------------------------------------- */

typedef struct {
    PyObject_HEAD
    int wd2;
    Py_ssize_t left;
    Py_ssize_t index;
    Py_ssize_t samples;      /* values in the block */
    Py_ssize_t per_channel;  /* WD2: samples field */
    long channels;           /* WD2: channels field */
    long event_bytes;        /* WD1: event_size field */
} Events;

static PyObject* make_array(Py_ssize_t values, int wd2) {
    const Py_ssize_t itemsize = wd2 ? 4 : 2;
    Py_ssize_t bytes = values * itemsize;
    void* data = bytes != 0 ? PyMem_RawMalloc((size_t)bytes) : empty_block;
    if (data == NULL) {
        return PyErr_NoMemory();
    }
    Owner* owner = (Owner*)owner_type->tp_alloc(owner_type, 0);
    if (owner == NULL) {
        if (bytes != 0) {
            PyMem_RawFree(data);
        }
        return NULL;
    }
    owner->data = data;
    owner->bytes = bytes;
    PyObject* descr = ((DescrFromType)api[API_DESCR_FROM_TYPE])(wd2 ? NPY_FLOAT : NPY_USHORT);
    if (descr == NULL) {
        Py_DECREF(owner);
        return NULL;
    }
    Py_intptr_t dims[1] = {values};
    PyObject* array = ((NewFromDescr)api[API_NEW_FROM_DESCR])((PyTypeObject*)api[API_ARRAY_TYPE], descr, 1, dims,
                                                               NULL, data, NPY_ARRAY_WRITEABLE, NULL);
    if (array == NULL) {
        Py_DECREF(owner);
        return NULL;
    }
    if (((SetBaseObject)api[API_SET_BASE_OBJECT])(array, (PyObject*)owner) < 0) {
        Py_DECREF(array);
        return NULL;
    }
    return array;
}

static int put(PyObject* dict, int key, PyObject* value) {
    if (value == NULL) {
        return -1;
    }
    int rc = PyDict_SetItem(dict, keys[key], value);
    Py_DECREF(value);
    return rc;
}

static PyObject* new_dict(Py_ssize_t entries) {
#if PY_VERSION_HEX < 0x030E0000
    return _PyDict_NewPresized(entries);
#else
    (void)entries;
    return PyDict_New();
#endif
}

static PyObject* events_next(PyObject* self) {
    Events* e = (Events*)self;
    if (e->left == 0) {
        return NULL;
    }
    --e->left;
    const long long i = e->index++;
    PyObject* dict = new_dict(e->wd2 ? 6 : 7);
    if (dict == NULL) {
        return NULL;
    }
    int failed;
    if (!e->wd2) {
        failed = put(dict, 0, PyLong_FromLong(e->event_bytes)) || put(dict, 1, PyLong_FromLong(7)) ||
                 put(dict, 2, PyLong_FromLong((long)(i % 5))) || put(dict, 3, PyLong_FromLong((long)(i % 8))) ||
                 put(dict, 4, PyLong_FromLong((long)(int32_t)i)) ||
                 put(dict, 5, PyLong_FromLong((long)(int32_t)(i * 100))) ||
                 put(dict, 9, make_array(e->samples, 0));
    } else {
        failed = put(dict, 4, PyLong_FromUnsignedLongLong((uint32_t)i)) ||
                 put(dict, 5, PyLong_FromUnsignedLongLong((unsigned long long)i * 1000)) ||
                 put(dict, 6, PyLong_FromUnsignedLongLong((unsigned long long)e->per_channel)) ||
                 put(dict, 7, PyLong_FromUnsignedLongLong(10)) || put(dict, 8, PyLong_FromLong(e->channels)) ||
                 put(dict, 9, make_array(e->samples, 1));
    }
    if (failed) {
        Py_DECREF(dict);
        return NULL;
    }
    return dict;
}

static void events_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

static PyType_Slot events_slots[] = {
    {Py_tp_dealloc, (void*)events_dealloc},
    {Py_tp_iter, (void*)PyObject_SelfIter},
    {Py_tp_iternext, (void*)events_next},
    {0, NULL},
};
static PyType_Spec events_spec = {"pelvar_floor.Events", sizeof(Events), 0, Py_TPFLAGS_DEFAULT, events_slots};

static int load_numpy(void) {
    if (api != NULL) {
        return 0;
    }
    PyObject* module = PyImport_ImportModule("numpy._core.multiarray");
    if (module == NULL) {
        PyErr_Clear();
        module = PyImport_ImportModule("numpy.core.multiarray");
        if (module == NULL) {
            return -1;
        }
    }
    PyObject* capsule = PyObject_GetAttrString(module, "_ARRAY_API");
    Py_DECREF(module);
    if (capsule == NULL) {
        return -1;
    }
    api = (void**)PyCapsule_GetPointer(capsule, NULL);
    /* The capsule keeps the table alive: keep it for the process. */
    return api == NULL ? -1 : 0;
}

/* events(reader_type, count, samples, event_bytes, per_channel=0, channels=0) */
static PyObject* floor_events(PyObject* module, PyObject* args) {
    (void)module;
    const char* reader_type;
    Py_ssize_t count, samples, per_channel = 0;
    long event_bytes, channels = 0;
    if (!PyArg_ParseTuple(args, "snnl|nl", &reader_type, &count, &samples, &event_bytes, &per_channel,
                          &channels)) {
        return NULL;
    }
    if (load_numpy() < 0) {
        return NULL;
    }
    Events* e = (Events*)events_type->tp_alloc(events_type, 0);
    if (e == NULL) {
        return NULL;
    }
    e->wd2 = reader_type[0] != '\0' && reader_type[2] == '2';
    e->left = count;
    e->samples = samples;
    e->event_bytes = event_bytes;
    e->per_channel = per_channel;
    e->channels = channels;
    return (PyObject*)e;
}

static PyMethodDef floor_methods[] = {
    {"events", floor_events, METH_VARARGS, "An iterator of `count` event dictionaries made with no I/O."},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef floor_module = {PyModuleDef_HEAD_INIT, "pelvar_floor", NULL, -1, floor_methods};

PyMODINIT_FUNC PyInit_pelvar_floor(void) {
    PyObject* module = PyModule_Create(&floor_module);
    if (module == NULL) {
        return NULL;
    }
#ifdef Py_GIL_DISABLED
    PyUnstable_Module_SetGIL(module, Py_MOD_GIL_USED);
#endif
    owner_type = (PyTypeObject*)PyType_FromSpec(&owner_spec);
    events_type = (PyTypeObject*)PyType_FromSpec(&events_spec);
    if (owner_type == NULL || events_type == NULL) {
        Py_DECREF(module);
        return NULL;
    }
    for (int i = 0; i < 10; ++i) {
        keys[i] = PyUnicode_InternFromString(key_names[i]);
        if (keys[i] == NULL) {
            Py_DECREF(module);
            return NULL;
        }
    }
    return module;
}
