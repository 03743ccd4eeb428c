#pragma once

#include "support/Expected.h"

#include <QString>

namespace ringlark::platform {

struct LoginItemError {
    QString description; // user-facing, names what failed and why
    bool operator==(const LoginItemError&) const = default;
};

// The application's own entry among the programs the session starts at login.
class LoginItem {
public:
    enum class Status { notRegistered, enabled, requiresApproval, notFound };

    virtual ~LoginItem() = default;

    // `register` is a reserved word, hence the longer names.
    virtual Expected<Unit, LoginItemError> registerItem() = 0;
    virtual Expected<Unit, LoginItemError> unregisterItem() = 0;
    virtual Status status() const = 0;
};

} // namespace ringlark::platform
