// The security-and-identity family: protected strings and credentials,
// machine and account facts, rights and access control, signature checks.
#pragma once

#include <krcore/foundation.h>
