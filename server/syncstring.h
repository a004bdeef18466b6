#pragma once
// CSyncString: a string setting that one thread may replace while others read it. Every read
// returns a whole copy taken under the string's own lock, so a reader never sees a torn or freed
// value. Used for every string setting of CTunnelArray.
// Thread safety: any thread.

#include <string>
#include <utility>

#include "platform/mutex.h"

class CSyncString {
public:
    CSyncString() = default;
    CSyncString(const char* text) : m_value(text ? text : "") {}
    CSyncString(std::string text) : m_value(std::move(text)) {}
    CSyncString(const CSyncString& other) : m_value(other.Get()) {}

    CSyncString& operator=(const CSyncString& other) {
        if (this != &other)
            Set(other.Get());
        return *this;
    }
    CSyncString& operator=(std::string text) {
        Set(std::move(text));
        return *this;
    }
    CSyncString& operator=(const char* text) {
        Set(text ? std::string(text) : std::string());
        return *this;
    }

    // A copy of the current value.
    std::string Get() const {
        CMutexLock lock(m_mutex);
        return m_value;
    }
    operator std::string() const { return Get(); }

    void Set(std::string text) {
        CMutexLock lock(m_mutex);
        m_value.swap(text);
    }

    bool empty() const {
        CMutexLock lock(m_mutex);
        return m_value.empty();
    }

    friend std::string operator+(const CSyncString& a, const std::string& b) { return a.Get() + b; }
    friend std::string operator+(const CSyncString& a, const char* b) { return a.Get() + b; }
    friend std::string operator+(const std::string& a, const CSyncString& b) { return a + b.Get(); }
    friend std::string operator+(const char* a, const CSyncString& b) { return a + b.Get(); }
    friend bool operator==(const CSyncString& a, const std::string& b) { return a.Get() == b; }
    friend bool operator==(const CSyncString& a, const char* b) { return a.Get() == b; }

private:
    mutable CMutex m_mutex;
    std::string m_value GUARDED_BY(m_mutex);
};
