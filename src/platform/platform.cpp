#include "platform/platform.hpp"

#include <cstdlib>
#include <ctime>

namespace orbisect::platform {

void seed_random_from_clock() {
    std::srand(static_cast<unsigned>(std::time(nullptr)));
}

uint32_t draw_random15() {
    return static_cast<uint32_t>(std::rand()) & 0x7FFFu;
}

}  // namespace orbisect::platform
