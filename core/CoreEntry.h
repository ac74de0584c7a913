// The entry of one build of the core: its operations as one table. The
// shared front-end takes the table it is given (zedrikfu holds one per
// transport and chooses at start-up); each build's table is reached here,
// in that build's namespace.
#pragma once

#include "Operations.h"
#include "Variant.h"

ZF_VARIANT_BEGIN

const CoreOperations& ThisCoreOperations();

ZF_VARIANT_END
