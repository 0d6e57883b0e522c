// The batched file load: reads the S-record file m_strFilePath into the image
// buffer, at most 150 records per TIMER_LOAD tick, and at the end of the data
// records the result in the slot of m_nTarget.
//
// Window thread only; the caller holds the download lock around each call.
// The file is read through the 1024-character window m_szLineBuf and is
// closed by the batch that ends the load.
#pragma once

#include "core/download_state.h"
#include "core/window_system.h"

namespace porten {

inline constexpr int kRecordsPerBatch = 150;
inline constexpr int kFirstBatchDelayMs = 100;

// Begins a load of m_strFilePath for m_nTarget (the caller has set both and
// cleared m_nLength and the target slot's length), or cancels the running
// one. Does nothing while a transfer runs or a cancelled load has not yet
// been closed. Errors go to a message box captioned with the path.
void StartLoad(DownloadState& st, LinkVars& link, WindowSystem& win);

// One batch; the host calls it on TIMER_LOAD.
void LoadBatch(DownloadState& st, LinkVars& link, WindowSystem& win);

}  // namespace porten
