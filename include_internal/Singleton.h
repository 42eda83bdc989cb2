// Owner of each long-lived manager: one instance per class, created on first use.
#pragma once

#include <cxxabi.h>

#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <typeinfo>

#include "Log.h"

template <typename T>
class Singleton {
  public:
    static T* GetInstance() {
        if (m_pInstance != nullptr)
            return m_pInstance;
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        if (m_pInstance == nullptr) {
            // A throwing constructor frees its storage and leaves no instance behind.
            m_pInstance = new T();
            LOGD("Create Instance. %s", TypeName(*m_pInstance).c_str());
        }
        return m_pInstance;
    }

    // The name keeps its historical spelling: callers across the service use it.
    static void DestoryInstance() {
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        if (m_pInstance == nullptr)
            return;
        std::string name = TypeName(*m_pInstance);
        delete m_pInstance;
        m_pInstance = nullptr;
        LOGE("[singleton] destory instance. %s", name.c_str());
    }

  protected:
    Singleton() = default;
    virtual ~Singleton() = default;
    Singleton(const Singleton&) = delete;
    Singleton& operator=(const Singleton&) = delete;

  private:
    static std::string TypeName(const T& object) {
        const char* mangled = typeid(object).name();
        int status = 0;
        std::unique_ptr<char, void (*)(void*)> demangled(
            abi::__cxa_demangle(mangled, nullptr, nullptr, &status), std::free);
        return status == 0 && demangled ? demangled.get() : mangled;
    }

    static T* m_pInstance;
    static std::recursive_mutex m_mutex;
};

template <typename T>
T* Singleton<T>::m_pInstance = nullptr;
template <typename T>
std::recursive_mutex Singleton<T>::m_mutex;
