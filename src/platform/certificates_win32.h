// Certificates on Windows: the checks of a server's certificate, apart from the
// Schannel session that received it, and the roots that TrustPemFile adds.
#pragma once

#include <windows.h>

#include <wincrypt.h>

#include <cstdint>
#include <string>

namespace qws::platform {

// The chain against the system's roots and those TrustPemFile added, for a
// server's usage, then the SSL policy with `host`; an `address` (its 4 or 16 bytes)
// is checked against the certificate's addresses instead of any name.
// 0, or why the certificate is refused.
int32_t VerifyServerCertificate(PCCERT_CONTEXT server, const std::wstring& host,
                                const std::string& address);

}  // namespace qws::platform
