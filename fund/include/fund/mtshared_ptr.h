// fund/mtshared_ptr.h - a reference-counted pointer whose copies may be
// made and dropped on several threads at once: the object pointer and a
// counter {count, lock}; the last release deletes both.

#ifndef FUND_MTSHARED_PTR_H
#define FUND_MTSHARED_PTR_H

#include <cstddef>
#include <utility>

#include "fund/lock.h"

namespace fund {

template <typename T>
class mtshared_ptr {
public:
    mtshared_ptr() = default;
    // Takes ownership of `object` (may be null); the count starts at 1.
    explicit mtshared_ptr(T* object) : m_object(object) {
        if (object == nullptr) return;
        try {
            m_counter = new counter();
        } catch (...) {
            delete object;  // nobody else owns it
            throw;
        }
    }

    mtshared_ptr(const mtshared_ptr& other) : m_object(other.m_object), m_counter(other.m_counter) {
        add_ref();
    }
    mtshared_ptr(mtshared_ptr&& other) noexcept : m_object(other.m_object), m_counter(other.m_counter) {
        other.m_object = nullptr;
        other.m_counter = nullptr;
    }
    mtshared_ptr& operator=(const mtshared_ptr& other) {
        if (this != &other) {
            mtshared_ptr copy(other);
            swap(copy);
        }
        return *this;
    }
    mtshared_ptr& operator=(mtshared_ptr&& other) noexcept {
        if (this != &other) {
            mtshared_ptr moved(std::move(other));
            swap(moved);
        }
        return *this;
    }
    ~mtshared_ptr() { release(); }

    // Drops this reference (deleting the object when it was the last) and
    // takes `object` instead.
    void reset(T* object = nullptr) {
        mtshared_ptr fresh(object);
        swap(fresh);
    }

    void swap(mtshared_ptr& other) noexcept {
        std::swap(m_object, other.m_object);
        std::swap(m_counter, other.m_counter);
    }

    T* get() const { return m_object; }
    T& operator*() const { return *m_object; }
    T* operator->() const { return m_object; }
    explicit operator bool() const { return m_object != nullptr; }

    // The number of references, 0 for a null pointer.
    long use_count() const {
        if (m_counter == nullptr) return 0;
        lock::scoped_lock hold(m_counter->section);
        return m_counter->count;
    }

    // Ordered and compared by the object's address (for sets of tasks).
    bool operator==(const mtshared_ptr& other) const { return m_object == other.m_object; }
    bool operator!=(const mtshared_ptr& other) const { return m_object != other.m_object; }
    bool operator<(const mtshared_ptr& other) const { return m_object < other.m_object; }

private:
    struct counter {
        long count = 1;
        lock::critical_section section;
    };

    void add_ref() {
        if (m_counter == nullptr) return;
        lock::scoped_lock hold(m_counter->section);
        ++m_counter->count;
    }

    void release() {
        counter* releasing = m_counter;
        T* object = m_object;
        m_counter = nullptr;
        m_object = nullptr;
        if (releasing == nullptr) return;
        bool last = false;
        {
            lock::scoped_lock hold(releasing->section);
            last = --releasing->count == 0;
        }
        if (last) {
            delete object;
            delete releasing;
        }
    }

    T* m_object = nullptr;
    counter* m_counter = nullptr;
};

}  // namespace fund

#endif  // FUND_MTSHARED_PTR_H
