// Atomic access to a plain field that another thread may write (a MIDI header's flags, which a
// device sets behind the program's back): std::atomic_ref where the standard library has it, the
// compiler's atomic built-ins where it doesn't yet (the C++ library of the WebAssembly toolchain).
#pragma once

#include <atomic>
#include <version>

namespace platform {

#if defined(__cpp_lib_atomic_ref)
template <typename T>
using AtomicRef = std::atomic_ref<T>;
#else
// The part of std::atomic_ref that the MIDI code uses, for integral fields.
template <typename T>
class AtomicRef {
public:
    explicit AtomicRef(T& field) : m_field(&field) {}
    T load(std::memory_order order = std::memory_order_seq_cst) const {
        return __atomic_load_n(m_field, Order(order));
    }
    T fetch_or(T bits, std::memory_order order = std::memory_order_seq_cst) const {
        return __atomic_fetch_or(m_field, bits, Order(order));
    }
    T fetch_and(T bits, std::memory_order order = std::memory_order_seq_cst) const {
        return __atomic_fetch_and(m_field, bits, Order(order));
    }

private:
    static constexpr int Order(std::memory_order order) {
        switch (order) {
            case std::memory_order_relaxed: return __ATOMIC_RELAXED;
            case std::memory_order_consume: return __ATOMIC_CONSUME;
            case std::memory_order_acquire: return __ATOMIC_ACQUIRE;
            case std::memory_order_release: return __ATOMIC_RELEASE;
            case std::memory_order_acq_rel: return __ATOMIC_ACQ_REL;
            default: return __ATOMIC_SEQ_CST;
        }
    }
    T* m_field;
};
#endif

}  // namespace platform
