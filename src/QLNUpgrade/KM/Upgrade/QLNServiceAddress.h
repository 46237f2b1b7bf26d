#pragma once
// Built-in addresses of the maker's services. The host is a build setting
// (QLN_SERVICE_HOST, scheme and host with an optional port) so that a build
// can be pointed at another server; the paths are fixed. The host is compiled
// into QLNServiceAddress.cpp alone, so that pointing a build at another
// server rebuilds one file.

namespace qln {

// Scheme, host and optional port, without a trailing slash.
extern const wchar_t kServiceHost[];

// The version service; the caller appends the query.
extern const wchar_t kVersionServiceAddress[];

}  // namespace qln
