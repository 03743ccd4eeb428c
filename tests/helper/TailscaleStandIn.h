#pragma once

// A stand-in `tailscale` for daemons under test: one machine owned by
// owner@example.com, HTTPS certificates on, and `serve` taking whatever it
// is told (nothing is served yet).

namespace ringlark::test {

inline constexpr const char* tailscaleStandIn = R"(#!/bin/sh
case "$1 $2" in
  "status --json") cat <<'JSON'
{"Version": "1.76.0", "BackendState": "Running",
 "Self": {"ID": "n1", "UserID": 4242, "HostName": "phone-test", "DNSName": "phone-test.example.ts.net.",
          "TailscaleIPs": ["100.101.102.103"], "Online": true},
 "User": {"4242": {"ID": 4242, "LoginName": "owner@example.com", "DisplayName": "Owner"}},
 "CertDomains": ["phone-test.example.ts.net"], "MagicDNSSuffix": "example.ts.net",
 "CurrentTailnet": {"Name": "example.com", "MagicDNSSuffix": "example.ts.net", "MagicDNSEnabled": true}}
JSON
  ;;
  "serve status") echo '{}' ;;
esac
exit 0
)";

} // namespace ringlark::test
