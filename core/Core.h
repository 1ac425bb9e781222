#pragma once
// Everything the core layer offers: memory, allocator, strings, exceptions, value types.
#include "core/Allocator.h"
#include "core/Deleters.h"
#include "core/Exceptions.h"
#include "core/Library.h"
#include "core/Memory.h"
#include "core/String.h"
#include "core/ThreadID.h"
#include "core/ValueTypes.h"
