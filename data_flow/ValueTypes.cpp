// The one place where the class templates over the value types are instantiated, each for
// exactly the types of its list in data_flow/ValueTypes.h. Headers declare the same instances
// `extern template` and exported, so clients never instantiate them on their own.
#include "data_flow/ValueTypes.h"

// Typed inputs and outputs.
#include "data_flow/connectors/Inputs.h"
#include "data_flow/connectors/Outputs.h"

// The exported visibility comes from the headers' `extern template class DATA_FLOW_API`
// declarations; GCC ignores (and warns about) the attribute repeated on the definition.
#define DATA_FLOW_INSTANTIATE_CONNECTORS(T)                                                        \
    template class ::Mirel::DataFlow::InputTemplate<T>;                                            \
    template class ::Mirel::DataFlow::ConstInput<T>;                                               \
    template class ::Mirel::DataFlow::OutputTemplate<T>;
DATA_FLOW_VALUE_TYPES(DATA_FLOW_INSTANTIATE_CONNECTORS)
#undef DATA_FLOW_INSTANTIATE_CONNECTORS

// Parameters and their proxy inputs (data_flow/connectors/Inputs.h brings Parameter.h).
#define DATA_FLOW_INSTANTIATE_PARAMETERS(T)                                                        \
    template class ::Mirel::DataFlow::Parameter<T>;                                                \
    template class ::Mirel::DataFlow::ParameterInput<T>;
DATA_FLOW_VALUE_TYPES(DATA_FLOW_INSTANTIATE_PARAMETERS)
#undef DATA_FLOW_INSTANTIATE_PARAMETERS
#define DATA_FLOW_INSTANTIATE_INTERVAL_PARAMETER(T)                                                \
    template class ::Mirel::DataFlow::IntervalParameter<T>;
DATA_FLOW_INTERVAL_VALUE_TYPES(DATA_FLOW_INSTANTIATE_INTERVAL_PARAMETER)
#undef DATA_FLOW_INSTANTIATE_INTERVAL_PARAMETER
