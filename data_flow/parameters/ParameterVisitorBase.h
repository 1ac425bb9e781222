#pragma once

#include "core/String.h"
#include "core/ValueTypes.h"
#include "data_flow/Export.h"

namespace Mirel {
namespace DataFlow {

class ParameterBase;
template <class T>
class Parameter;

/** Double dispatch over the parameter value types: Parameter<T>::visit calls exactly one of
    these operations with the parameter itself. Sixteen value types have an operation of their
    own; the unsigned integers and the four vector types reach the fallback, which tells them
    apart by datatype() or data_type_name(). An IntervalParameter<T> arrives as its Parameter<T>
    (ask isInterval()).

    The order of the operations is the order of the virtual table that client modules compile
    against: never reorder them. */
class DATA_FLOW_API ParameterVisitorBase {
public:
    ParameterVisitorBase() = default;
    ParameterVisitorBase(ParameterVisitorBase const&) = default;
    //! Nothing to copy: a visitor base holds no state.
    ParameterVisitorBase& operator=(ParameterVisitorBase const&) { return *this; }
    // Defined in the library so that the virtual table and type_info have one home.
    virtual ~ParameterVisitorBase();

    //! unsigned int, unsigned long and the vectors of float, float2, float3 and float4.
    virtual void visit(ParameterBase* pParameter) = 0;
    virtual void visit(Parameter<String>* pParameter) = 0;
    virtual void visit(Parameter<float4x4>* pParameter) = 0;
    virtual void visit(Parameter<float3x3>* pParameter) = 0;
    virtual void visit(Parameter<float2x2>* pParameter) = 0;
    virtual void visit(Parameter<float4>* pParameter) = 0;
    virtual void visit(Parameter<float3>* pParameter) = 0;
    virtual void visit(Parameter<float2>* pParameter) = 0;
    virtual void visit(Parameter<float>* pParameter) = 0;
    virtual void visit(Parameter<bool4>* pParameter) = 0;
    virtual void visit(Parameter<bool3>* pParameter) = 0;
    virtual void visit(Parameter<bool2>* pParameter) = 0;
    virtual void visit(Parameter<bool>* pParameter) = 0;
    virtual void visit(Parameter<int4>* pParameter) = 0;
    virtual void visit(Parameter<int3>* pParameter) = 0;
    virtual void visit(Parameter<int2>* pParameter) = 0;
    virtual void visit(Parameter<int>* pParameter) = 0;
};

} // namespace DataFlow
} // namespace Mirel
