// kestor.tavi.extractor.force: the force word of an event graph. The words its comments use (road, snapshot, host
// code, turn, a step not taken, dead end) are explained in src/README.md.
#include "pyhost/module.hpp"
#include "force/operations.hpp"
#include "pyhost/args.hpp"
#include "pyhost/extractor_class.hpp"
#include "service/service.hpp"

namespace force {
namespace {

using pyhost::check;
using pyhost::own;

int exec_force(PyObject* module) noexcept {
    return pyhost::barrier_status([&] {
        Ref time = own(PyImport_ImportModule("time"));
        check(PyModule_AddObjectRef(module, "time", time.get()));
        extractor::service::bind_module_names(module);
        pyhost::define_class<Module>(module, pyhost::state_of<pyhost::StateOf<Module>>(module));
    });
}

}  // namespace

Ref init(Self<"__init__"> self, PyObject* config, PyObject* prompt, PyObject* examples, PyObject* review_prompt,
         PyObject* review_examples) {
    extractor::service::expect_constructor_arguments(config, prompt, examples);
    pyhost::expect_exact(review_prompt, &PyUnicode_Type, "review_prompt_description");
    pyhost::expect_exact(review_examples, &PyList_Type, "review_examples");
    extractor::service::construct(self, config, prompt, examples);
    check(PyObject_SetAttr(self.object(), review_prompt_field.get(), review_prompt));
    Ref converted = extractor::service::convert_examples(self.globals(), review_examples);
    check(PyObject_SetAttr(self.object(), review_examples_field.get(), converted.get()));
    return Ref::borrow(Py_None);
}

PyModuleDef module_def = pyhost::module_definition<Module>(
    "force", "The force of an event graph: path search, graph text, model call and review (ForceExtractor).",
    pyhost::module_slots<exec_force>);

}  // namespace force

PyMODINIT_FUNC PyInit_force() { return PyModuleDef_Init(&force::module_def); }
