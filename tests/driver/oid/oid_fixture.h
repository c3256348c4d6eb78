// Helpers for driving the OID interface through the host.
#ifndef MIREL_TESTS_DRIVER_OID_OID_FIXTURE_H
#define MIREL_TESTS_DRIVER_OID_OID_FIXTURE_H

#include <cstring>
#include <string>
#include <vector>

#include "driver/hw/hw.h"
#include "driver/oid/oid.h"
#include "tests/support/bench.h"

namespace mirel_test {

class OidTest : public World {
  public:
    host::QueryResult Q(NDIS_OID oid, ULONG length = 1024) { return host_->Query(adapter_, oid, length); }
    // The answer of a successful query, as many bytes as were written.
    host::Bytes Answer(NDIS_OID oid) {
        auto q = Q(oid);
        EXPECT_EQ(q.status, NDIS_STATUS_SUCCESS) << std::hex << oid;
        if (q.status != NDIS_STATUS_SUCCESS || !q.bytes_written) return {};
        return host::Bytes(q.data.begin(), q.data.begin() + *q.bytes_written);
    }
    ULONG Ulong(NDIS_OID oid) {
        auto a = Answer(oid);
        EXPECT_EQ(a.size(), 4u) << std::hex << oid;
        ULONG v = 0;
        if (a.size() >= 4) std::memcpy(&v, a.data(), 4);
        return v;
    }
    host::SetResult S(NDIS_OID oid, const host::Bytes& data) { return host_->Set(adapter_, oid, data); }
    host::SetResult SetUlong(NDIS_OID oid, ULONG value) {
        host::Bytes b(4);
        std::memcpy(b.data(), &value, 4);
        return S(oid, b);
    }
    static host::Bytes Text(const std::string& s) { return host::Bytes(s.begin(), s.end()); }
    std::size_t Commands(std::uint16_t code) const {
        std::size_t n = 0;
        for (const auto& c : card_->Commands()) n += c.code == code ? 1 : 0;
        return n;
    }
};

}  // namespace mirel_test

#endif  // MIREL_TESTS_DRIVER_OID_OID_FIXTURE_H
