// Tests put their own services in place of the program's, one field at a time.
#pragma once

#include "app/programservices.h"

#include <utility>

// Installs the services in force with field set to value.
template <typename T, typename V>
void SetService(T Services::*field, V&& value)
{
    Services s = services();
    s.*field = std::forward<V>(value);
    installServices(std::move(s));
}

// Puts the program's own back in field.
template <typename T>
void ResetService(T Services::*field)
{
    SetService(field, ProgramServices().*field);
}
