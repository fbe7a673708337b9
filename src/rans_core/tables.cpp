// placeholder until this group is built
#include "fault.hpp"
