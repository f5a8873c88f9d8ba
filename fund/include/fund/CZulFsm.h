// fund/CZulFsm.h - a table-driven finite-state machine over an owner class.
//
// The table maps (state, event) to a record: the next state and up to two
// member operations of the owner.  ProcessEvent runs the pre-action while
// the machine is still in the old state, then moves to the next state, then
// runs the post-action.  An event without a record in the current state is
// ignored.  The machine has no lock: one thread drives it.

#ifndef FUND_CZULFSM_H
#define FUND_CZULFSM_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <utility>

template <class TOwner, class TState, class TEvent, class TParam1 = uint32_t, class TParam2 = uint32_t>
class CZulFsm {
public:
    // An action: a member operation of the owner taking both event
    // parameters.  Its result is not used by the machine.
    typedef bool (TOwner::*Action)(TParam1, TParam2);

    struct Transition {
        TState next;
        Action pre;
        Action post;
    };

    explicit CZulFsm(TOwner* owner) : m_state(static_cast<TState>(0)), m_owner(owner) {}
    virtual ~CZulFsm() {}

    CZulFsm(const CZulFsm&) = delete;
    CZulFsm& operator=(const CZulFsm&) = delete;

    // Registers (state, event) -> next state with optional actions (null for
    // none); registering the same pair again replaces the record.  Returns
    // the machine so that registrations chain.
    CZulFsm& AddTransition(TState state, TEvent event, TState next, Action pre, Action post) {
        m_table[Key(state, event)] = Transition{next, pre, post};
        return *this;
    }

    // Runs the transition of (current state, event); false, with nothing
    // changed, when the table has none.
    bool ProcessEvent(TEvent event, TParam1 p1, TParam2 p2) {
        typename Table::const_iterator it = m_table.find(Key(m_state, event));
        if (it == m_table.end()) return false;
        // Copy the record: an action may register transitions.
        const Transition t = it->second;
        if (t.pre && m_owner) (m_owner->*t.pre)(p1, p2);
        m_state = t.next;
        if (t.post && m_owner) (m_owner->*t.post)(p1, p2);
        return true;
    }

    TState GetState() const { return m_state; }

    bool HasTransition(TState state, TEvent event) const {
        return m_table.find(Key(state, event)) != m_table.end();
    }

    // The record of (state, event), or null.
    const Transition* FindTransition(TState state, TEvent event) const {
        typename Table::const_iterator it = m_table.find(Key(state, event));
        return it == m_table.end() ? nullptr : &it->second;
    }

    std::size_t TransitionCount() const { return m_table.size(); }

private:
    // Ordered state first, then event.
    typedef std::pair<TState, TEvent> Key;
    typedef std::map<Key, Transition> Table;

    Table m_table;
    TState m_state;
    TOwner* m_owner;
};

#endif  // FUND_CZULFSM_H
