#include "bindings/pyutil/log_bridge.hpp"

#include <mutex>
#include <string>
#include <vector>

#include "bindings/pyutil/gil.hpp"
#include "common/log.hpp"

namespace korvane::py {
namespace {

std::mutex g_pending_mutex;
std::vector<log::Event>* g_pending = new std::vector<log::Event>();  // never freed: used at exit

int python_level(log::Level level) {
    switch (level) {
        case log::Level::Error: return 40;
        case log::Level::Warn: return 30;
        case log::Level::Info: return 20;
        case log::Level::Debug: return 10;
        case log::Level::Trace: return 5;
    }
    return 20;
}

std::string logger_name(const std::string& target) {
    std::string name;
    for (std::size_t i = 0; i < target.size(); ++i) {
        if (target.compare(i, 2, "::") == 0) {
            name += '.';
            ++i;
        } else {
            name += target[i];
        }
    }
    return name;
}

PyObject* field_value(const log::FieldValue& value) {
    struct Visitor {
        PyObject* operator()(bool v) const { return PyBool_FromLong(v); }
        PyObject* operator()(std::int64_t v) const { return PyLong_FromLongLong(v); }
        PyObject* operator()(std::uint64_t v) const { return PyLong_FromUnsignedLongLong(v); }
        PyObject* operator()(double v) const { return PyFloat_FromDouble(v); }
        PyObject* operator()(const std::string& v) const {
            return PyUnicode_DecodeUTF8(v.data(), static_cast<Py_ssize_t>(v.size()), "replace");
        }
    };
    return std::visit(Visitor{}, value);
}

// Requires the interpreter lock. Failures inside logging are reported as unraisable rather
// than replacing whatever exception the caller is about to raise.
bool forward_event(const log::Event& event) {
    Ref logging = Ref::steal(PyImport_ImportModule("logging"));
    if (!logging) return false;
    const std::string name = logger_name(event.target);
    Ref logger = Ref::steal(PyObject_CallMethod(logging.get(), "getLogger", "s", name.c_str()));
    if (!logger) return false;
    const int level = python_level(event.level);
    Ref enabled = Ref::steal(PyObject_CallMethod(logger.get(), "isEnabledFor", "i", level));
    if (!enabled) return false;
    if (!PyObject_IsTrue(enabled.get())) return true;

    Ref extra = Ref::steal(PyDict_New());
    if (!extra) return false;
    for (const auto& field : event.fields) {
        Ref value = Ref::steal(field_value(field.value));
        if (!value || PyDict_SetItemString(extra.get(), field.name.c_str(), value.get()) < 0) return false;
    }
    Ref log_method = Ref::steal(PyObject_GetAttrString(logger.get(), "log"));
    if (!log_method) return false;
    Ref args = Ref::steal(Py_BuildValue("(is#)", level, event.message.data(),
                                        static_cast<Py_ssize_t>(event.message.size())));
    Ref kwargs = Ref::steal(Py_BuildValue("{s:O}", "extra", extra.get()));
    if (!args || !kwargs) return false;
    Ref result = Ref::steal(PyObject_Call(log_method.get(), args.get(), kwargs.get()));
    return static_cast<bool>(result);
}

void deliver(const log::Event& event) {
    PyObject* pending = PyErr_GetRaisedException();
    if (!forward_event(event)) PyErr_WriteUnraisable(nullptr);
    PyErr_SetRaisedException(pending);
}

void bridge_sink(log::Event&& event) {
    if (PyGILState_Check()) {
        deliver(event);
        return;
    }
    std::lock_guard lock(g_pending_mutex);
    g_pending->push_back(std::move(event));
}

}  // namespace

void flush_log_events() {
    std::vector<log::Event> events;
    {
        std::lock_guard lock(g_pending_mutex);
        if (g_pending->empty()) return;
        events.swap(*g_pending);
    }
    for (const auto& event : events) deliver(event);
}

void install_log_bridge() { log::set_sink(&bridge_sink); }

}  // namespace korvane::py
