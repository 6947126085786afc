// kestor.tavi.extractor.force: the force word of an event graph.
#include "pyhost/module.hpp"
#include "force/operations.hpp"
#include "pyhost/args.hpp"
#include "pyhost/containers.hpp"
#include "service/service.hpp"

namespace force {
namespace {

using pyhost::check;
using pyhost::own;

constinit Name review_prompt_field{"review_prompt_description"};
constinit Name review_examples_field{"review_examples"};

template <std::size_t... I>
constexpr std::array<Name, sizeof...(I)> make_names(std::index_sequence<I...>) {
    return {Name{operations[I].declared.name}...};
}

constinit std::array<Name, operation_count> operation_names = make_names(std::make_index_sequence<operation_count>{});

// Where each operation stands among the class's, whose originals the module state keeps.
template <std::size_t... I>
constexpr std::array<std::size_t, sizeof...(I)> class_indices(std::index_sequence<I...>) {
    return {pyhost::index_in(extractor_class.operations, operations[I].declared.name)...};
}

constexpr auto class_index = class_indices(std::make_index_sequence<operation_count>{});

int exec_force(PyObject* module) noexcept {
    return pyhost::barrier_status([&] {
        Ref time = own(PyImport_ImportModule("time"));
        check(PyModule_AddObjectRef(module, "time", time.get()));
        extractor::service::bind_module_names(module);
        pyhost::define_class<extractor_class>(module, state_of(module));
    });
}

}  // namespace

Ref init(pyhost::Scope scope, PyObject* config, PyObject* prompt, PyObject* examples, PyObject* review_prompt,
         PyObject* review_examples) {
    extractor::service::expect_constructor_arguments(config, prompt, examples);
    pyhost::expect_exact(review_prompt, &PyUnicode_Type, "review_prompt_description");
    pyhost::expect_exact(review_examples, &PyList_Type, "review_examples");
    pyhost::Globals globals(scope.module);
    extractor::service::construct(globals, scope.self, config, prompt, examples);
    check(PyObject_SetAttr(scope.self, review_prompt_field.get(), review_prompt));
    Ref converted = extractor::service::convert_examples(globals, review_examples);
    check(PyObject_SetAttr(scope.self, review_examples_field.get(), converted.get()));
    return Ref::borrow(Py_None);
}

PyModuleDef module_def = pyhost::module_definition<State>(
    "force", "The force of an event graph: path search, graph text, model call and review (ForceExtractor).",
    pyhost::module_slots<exec_force>);

State& state_of(PyObject* module) { return pyhost::state_of<State>(module); }

const Name& Dispatch::name_of(std::size_t operation) { return operation_names[operation]; }

void Dispatch::resolve() {
    PyTypeObject* type = Py_TYPE(self_);
    if (type->tp_getattro != PyObject_GenericGetAttr) {
        // A class with its own attribute lookup: ask it for every call.
        native_ = 0;
        resolved_ = true;
        return;
    }
    const bool known = state_.resolved_type == type && (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) &&
                       type->tp_version_tag == state_.resolved_version;
    if (known) {
        native_ = state_.resolved_native;
    } else {
        auto lookup = [&] {
            OperationSet found = 0;
            for (std::size_t op = 0; op < operation_count; ++op) {
                Ref attribute = pyhost::class_attribute(reinterpret_cast<PyObject*>(type), operation_names[op]);
                if (attribute.get() == state_.originals[class_index[op]]) found |= OperationSet{1} << op;
            }
            return found;
        };
        // 0 when the class has no valid version.
        auto version = [&]() -> unsigned int {
            return (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
        };
        // A lookup can run host code (a descriptor's __get__, and other threads while that code runs) that
        // changes the class; answers read before the change would then be kept under the class's new version.
        // The first pass gives the class a version if it can have one; answers read again under that same version
        // belong to it. Should the class change under the second pass too, this call asks the instance for
        // every operation, which is always right.
        native_ = lookup();
        if (const unsigned int before = version(); before != 0) {
            native_ = lookup();
            if (version() == before) {
                state_.resolved_type = type;
                state_.resolved_version = before;
                state_.resolved_native = native_;
            } else {
                native_ = 0;
            }
        }
    }
    // The instance's own __dict__ comes first for these names. Its fields never start with an underscore, so the
    // usual instance is cleared by one pass over a handful of keys.
    if (PyObject* dict = pyhost::instance_dict(self_); dict != nullptr && PyDict_GET_SIZE(dict) != 0) {
        pyhost::for_each_key(dict, [&](PyObject* key) {
            if (!PyUnicode_Check(key) || PyUnicode_GET_LENGTH(key) == 0 || PyUnicode_READ_CHAR(key, 0) != '_') return;
            for (std::size_t op = 0; op < operation_count; ++op) {
                if (PyUnicode_Compare(key, operation_names[op].get()) == 0) native_ &= ~(OperationSet{1} << op);
            }
            if (PyErr_Occurred()) pyhost::raise();
        });
    }
    resolved_ = true;
}

}  // namespace force

PyMODINIT_FUNC PyInit_force() { return PyModuleDef_Init(&force::module_def); }
