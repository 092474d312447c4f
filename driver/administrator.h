// The database administrator that the server and its tools sign in as.
// Firebird's embedded engine takes any password; a Firebird server checks
// it against its own security database, which must hold this one.
#pragma once

#include "driver/connection.h"

namespace orvala::driver {

inline constexpr char kAdministratorUser[] = "SYSDBA";
inline constexpr char kAdministratorPassword[] = "pinewheel";

// Gives the connection the administrator's user name and password.
inline void UseAdministrator(Connection& connection) {
  connection.SetParam("User_Name", kAdministratorUser);
  connection.SetParam("Password", kAdministratorPassword);
}

}  // namespace orvala::driver
