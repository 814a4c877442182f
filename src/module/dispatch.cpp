#include "module/dispatch.hpp"

namespace lumora::py {

PyObject* invoke_new(const MethodInfo& m, PyTypeObject* type, PyObject* args,
                     PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        PyObject* bound[kMaxParams] = {};
        CallArgs converted;
        if (!bind_tuple_dict(m.desc, args, kwargs, bound) ||
            !detail::convert_args(m, bound, converted)) {
            return nullptr;
        }
        return m.on_class(type, converted);
    });
}

}  // namespace lumora::py
