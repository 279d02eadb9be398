// cCallback / TCallback<T>: one operation, Execute(text), bound to an object and one of its
// member functions. The loader's receive path hands what it read from the device to its command
// processor through one of these.
#pragma once

#include <utility>

#include "platform/debug.h"
#include "platform/text.h"

namespace morvane {

class cCallback {
public:
    virtual ~cCallback() = default;
    virtual void Execute(CString text) = 0;
};

template <class T>
class TCallback : public cCallback {
public:
    using Method = void (T::*)(CString);

    TCallback() = default;
    TCallback(T* target, Method method) : target_(target), method_(method) {}

    void Bind(T* target, Method method) {
        target_ = target;
        method_ = method;
    }

    // Calls the bound member with a copy of `text`. Unbound, the text is dropped and the fault
    // goes to the debug channel: a receive path wired up wrongly must not bring a load down.
    void Execute(CString text) override {
        if (method_ == nullptr || target_ == nullptr) {
            OutputDebugStringA("ERROR : the callback function has not been defined !!!!\n");
            return;
        }
        (target_->*method_)(std::move(text));
    }

private:
    T* target_ = nullptr;
    Method method_ = nullptr;
};

}  // namespace morvane
