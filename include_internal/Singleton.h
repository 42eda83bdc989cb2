// Owner of each long-lived manager: one instance per class, created on first use.
#pragma once

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
            // The name as the type information gives it, not demangled.
            LOGD("Create Instance. %s", typeid(*m_pInstance).name());
        }
        return m_pInstance;
    }

    // The name keeps its historical spelling: callers across the service use it.
    static void DestoryInstance() {
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        if (m_pInstance == nullptr)
            return;
        std::string name = typeid(*m_pInstance).name();
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
    static T* m_pInstance;
    static std::recursive_mutex m_mutex;
};

template <typename T>
T* Singleton<T>::m_pInstance = nullptr;
template <typename T>
std::recursive_mutex Singleton<T>::m_mutex;
