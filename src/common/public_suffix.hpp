// The Public Suffix List, compiled into the package at build time (see
// public_suffix/README.md): which part of a host name its registry controls,
// as Chromium decides it for cookies (private registries included, an
// unknown top-level domain taken as a registry).  Nothing is loaded at run
// time and nothing is shared but constant data: any thread may ask.
//
// Hosts are as in a canonical URL: lower case, internationalised labels as
// A-labels.  use_list false applies only the list's default rule "*" (the
// last label is the registry), as when the list is switched off.
#pragma once

#include <string_view>

namespace gco::rules {

// The date of the list compiled in, "YYYY-MM-DD".
extern const char* const kPublicSuffixListVersion;

// The registrable domain (the eTLD+1) of a host: the registry and the label
// before it ("example.co.uk" for "www.example.co.uk"; one trailing dot kept,
// leading dots dropped).  Empty for a host that has none: an IP address, a
// public suffix, a single label.  A view into host.
std::string_view registrable_domain(std::string_view host, bool use_list) noexcept;

// Whether a domain is a public suffix: a registry itself, or a single label
// ("co.uk", "github.io", "test").  False for an empty text and an IP address.
bool is_public_suffix(std::string_view domain, bool use_list) noexcept;

}  // namespace gco::rules
