// The host's PE model: a PE archive opened on a stream. Open parses the stream's current bytes
// (DOS header, NT headers, data directories, section table); the archive then answers the
// header records, resource records fetched by RVA, and RVA / file-offset conversion.
// Only files with "MZ", a PE signature "PE" and a complete section table open; anything else
// is refused with QE_E_FAIL, so hostile files get an error, never a guess.
#pragma once

#include "sdk/host_services.h"

namespace host {

// Creates a PE archive (not yet opened) and hands out its interface `iid`: IUnknown, IQEArchive,
// IQEPEArchive, IQEPERecordTable or IQEPESectionTable. The object loader registers this as the
// creator of CLSID_CQEPEArchive. `environment` (the running-object table) may be null.
QRESULT createPeArchive(IUnknown* environment, const GUID& iid, void** out);

// A PE archive opened on `file` (anything answering IQEStream), handed out as `iid`. Fails with
// Open's result when the file is no PE.
QRESULT openPeArchive(IUnknown* file, const GUID& iid, void** out);

// Lets every host::FileObject answer the PE model's interfaces through openPeArchive, as the
// module asks them of the scanned file itself. Call once when the host starts.
void installPeModel();

}  // namespace host
