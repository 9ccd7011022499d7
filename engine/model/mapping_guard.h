// Turns the bus error of a weights mapping whose file was cut short (or can no
// longer be read) after it was mapped into the engine's fatal report, instead
// of an unexplained crash at whatever tensor read touched the lost page.
#pragma once

#include <cstdint>

// Registers one read-only weights mapping; the first call installs the
// process's bus-error handler. Faults outside registered mappings go on to
// the handler that was there before.
void guard_mapping(const void* base, uint64_t size);
