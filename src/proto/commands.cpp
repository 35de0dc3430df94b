// Placeholder until the parser lands.
#include "veltra/proto/commands.hpp"
