#include "control/status.h"

namespace control {

namespace {

int rank(int status)
{
    if (status > 128)
        return 4;
    switch (status) {
    case Usage: return 3;
    case Permission: return 2;
    case Failure: return 1;
    default: return 0;
    }
}

} // namespace

int worse(int a, int b)
{
    return rank(b) > rank(a) ? b : a;
}

} // namespace control
