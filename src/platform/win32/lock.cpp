#include <windows.h>

#include <new>

#include "platform/platform.h"

namespace platform {

static_assert(sizeof(CRITICAL_SECTION) <= 64, "critical section fits the lock storage");

static CRITICAL_SECTION *Section(unsigned char *storage) { return reinterpret_cast<CRITICAL_SECTION *>(storage); }

TeskLock::TeskLock() { InitializeCriticalSection(new (m_abStorage) CRITICAL_SECTION); }
TeskLock::~TeskLock() { DeleteCriticalSection(Section(m_abStorage)); }
void TeskLock::Enter() { EnterCriticalSection(Section(m_abStorage)); }
void TeskLock::Leave() { LeaveCriticalSection(Section(m_abStorage)); }

}  // namespace platform
