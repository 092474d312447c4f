// The accounting services against a fresh reference database.
#include <gtest/gtest.h>

#include "server/server_fixture.h"
