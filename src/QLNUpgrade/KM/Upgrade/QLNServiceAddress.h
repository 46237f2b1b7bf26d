#pragma once
// Built-in addresses of the maker's services. The host is a build setting
// (QLN_SERVICE_HOST, scheme and host with an optional port) so that a build
// can be pointed at another server; the paths are fixed here.

#ifndef QLN_SERVICE_HOST
#define QLN_SERVICE_HOST L"https://code.quillon.example"
#endif

namespace qln {

// Scheme, host and optional port, without a trailing slash.
inline constexpr wchar_t kServiceHost[] = QLN_SERVICE_HOST;

// The version service; the caller appends the query.
inline constexpr wchar_t kVersionServiceAddress[] = QLN_SERVICE_HOST L"/api/web/corvid/quillon/upgrade";

}  // namespace qln
