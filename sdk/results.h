// Host result codes: signed 32-bit, negative means failure, success is exactly 0.
#pragma once

#include <cstdint>

using QRESULT = int32_t;

constexpr QRESULT QE_OK = 0;
constexpr QRESULT QE_E_NOTIMPL = int32_t(0x80004001u);
constexpr QRESULT QE_E_NOINTERFACE = int32_t(0x80004002u);
constexpr QRESULT QE_E_FAIL = int32_t(0x80004005u);
constexpr QRESULT QE_E_UNEXPECTED = int32_t(0x8000FFFFu);  // wrong state
constexpr QRESULT QE_E_OUTOFMEMORY = int32_t(0x8007000Eu);
constexpr QRESULT QE_E_INVALIDARG = int32_t(0x80070057u);

constexpr bool qeSucceeded(QRESULT r) { return r >= 0; }
constexpr bool qeFailed(QRESULT r) { return r < 0; }

// Results of a unit's or an engine's Kill.
constexpr uint32_t KILL_REPAIRED = 1;
constexpr uint32_t KILL_REMOVED = 2;
constexpr uint32_t KILL_FAILED_FORMAT = 0x80000000u;  // repair failed (some format units)
constexpr uint32_t KILL_FAILED = 0x80000002u;         // repair failed
constexpr uint32_t KILL_REMOVE_FAILED = 0x80000003u;  // the file was to be removed and removal failed

// The kill engine's Scan answers this and does nothing.
constexpr uint32_t SCAN_NOT_SUPPORTED = 0xFFFFFFFFu;
