// The one place where the class templates over the value types are instantiated, each for
// exactly the types of its list in data_flow/ValueTypes.h. Headers declare the same instances
// `extern template` and exported, so clients never instantiate them on their own.
#include "data_flow/ValueTypes.h"
