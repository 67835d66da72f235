#include "core/busy.h"

BusyState& BusyState::instance()
{
    static BusyState state;
    return state;
}

void BusyState::enter()
{
    if (m_count++ == 0)
        emit changed(true);
}

void BusyState::leave()
{
    if (--m_count == 0)
        emit changed(false);
}
