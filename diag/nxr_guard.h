// The trace-and-catch convention in one place. A method opens its trace with
// NXR_TRACE and runs its body through nxrGuard:
//
//   bool CNXRBuffer<T>::fill(T value, uint32_t ulOffset)
//   {
//       NXR_TRACE(u"CNXRBuffer", u"fill");
//       return nxrGuard(nxrTrace, false, [&] {
//           ...
//           return isValid();
//       });
//   }
//
// A logging-family object that escapes the body is logged if it was not yet
// (it normally logged itself at its throw site); anything else is recorded as
// "An unhandled exception occurred" with the current error code. Either way
// the method returns its failure value and the EXIT record carries it.
#pragma once
#include "nxr_exceptions.h"
#include "nxr_logging.h"

#include <cerrno>
#include <source_location>
#include <type_traits>
#include <utility>

namespace nxr {

// Which error code an "unhandled exception" record carries: errno, the
// thread's last-error value, or none (-1).
enum class NxrErrorSource { Errno, LastError, None };

uint32_t nxrCurrentError(NxrErrorSource source) noexcept;

// Logs a caught family object unless it has been written already.
inline void nxrLogIfNotLogged(CNXRLoggingObject& object) noexcept
{
    if (!object.isLogged())
        object.log();
}

namespace detail {
// Booleans are stored as they are; an object result stores whether the
// method completed; numbers are the method's own to store.
template <class R>
void storeResult(CFunctionTrace& trace, const R& result, bool bCompleted)
{
    if constexpr (std::is_same_v<std::remove_cvref_t<R>, bool>)
        trace.setResult(result);
    else if constexpr (!std::is_arithmetic_v<std::remove_cvref_t<R>>)
        trace.setResult(bCompleted);
}
} // namespace detail

// Runs body; returns its result, or failValue when anything was thrown. A
// body returning void gives true when it completed and false otherwise.
template <class Body, class R = std::invoke_result_t<Body&>>
auto nxrGuard(CFunctionTrace& trace, std::conditional_t<std::is_void_v<R>, bool, std::type_identity_t<R>> failValue,
              Body&& body, NxrErrorSource source = NxrErrorSource::Errno,
              std::source_location where = std::source_location::current()) noexcept
    -> std::conditional_t<std::is_void_v<R>, bool, R>
{
    try {
        if constexpr (std::is_void_v<R>) {
            body();
            trace.setResult(true);
            return true;
        } else {
            R result = body();
            detail::storeResult(trace, result, true);
            return result;
        }
    } catch (CNXRLoggingObject& e) {
        nxrLogIfNotLogged(e);
    } catch (...) {
        nxrLogUnhandled(nxrCurrentError(source), where.file_name(), where.line());
    }
    if constexpr (std::is_void_v<R>) {
        trace.setResult(false);
    } else {
        detail::storeResult(trace, failValue, false);
    }
    return failValue;
}

// What nxrGuardRethrow does with an exception it does not handle before
// passing it on.
enum class NxrOnForeign { Record, Silent };

// Runs a body that reports one kind of failure by throwing Expected (or a
// class derived from it): returns the body's result, or failValue when such an
// object was thrown, logging it if it was not yet. Any other exception is
// recorded as "An unhandled exception occurred" (Record) or left as it is
// (Silent) and re-thrown unchanged to the caller.
template <class Expected, class Body, class R = std::invoke_result_t<Body&>>
R nxrGuardRethrow(CFunctionTrace& trace, std::type_identity_t<R> failValue, Body&& body,
                  NxrOnForeign onForeign = NxrOnForeign::Record, NxrErrorSource source = NxrErrorSource::Errno,
                  std::source_location where = std::source_location::current())
{
    static_assert(std::is_base_of_v<CNXRLoggingObject, Expected>);
    static_assert(!std::is_void_v<R>);
    try {
        R result = body();
        detail::storeResult(trace, result, true);
        return result;
    } catch (Expected& e) {
        nxrLogIfNotLogged(e);
    } catch (...) {
        if (onForeign == NxrOnForeign::Record)
            nxrLogUnhandled(nxrCurrentError(source), where.file_name(), where.line());
        throw;
    }
    detail::storeResult(trace, failValue, false);
    return failValue;
}

// What a constructor does with a failure that reaches it.
enum class NxrCtorFailure { Rethrow, ThrowInit };

// Runs a constructor's body. A family object is logged if it was not yet and
// then re-thrown or replaced by InitException; anything else is recorded as
// "An unhandled exception occurred" and re-thrown or replaced likewise.
template <class InitException, class Body>
void nxrGuardCtor(Body&& body, NxrCtorFailure onFamily, NxrCtorFailure onOther,
                  NxrErrorSource source = NxrErrorSource::Errno,
                  std::source_location where = std::source_location::current())
{
    try {
        body();
    } catch (CNXRLoggingObject& e) {
        nxrLogIfNotLogged(e);
        if (onFamily == NxrCtorFailure::Rethrow)
            throw;
        throw InitException(where.file_name(), where.line());
    } catch (...) {
        nxrLogUnhandled(nxrCurrentError(source), where.file_name(), where.line());
        if (onOther == NxrCtorFailure::Rethrow)
            throw;
        throw InitException(where.file_name(), where.line());
    }
}

// Runs a destructor's body: nothing leaves it; a failure is only recorded.
template <class Body>
void nxrGuardDtor(Body&& body, NxrErrorSource source = NxrErrorSource::Errno,
                  std::source_location where = std::source_location::current()) noexcept
{
    try {
        body();
    } catch (CNXRLoggingObject& e) {
        nxrLogIfNotLogged(e);
    } catch (...) {
        nxrLogUnhandled(nxrCurrentError(source), where.file_name(), where.line());
    }
}

} // namespace nxr

// Opens the entry/exit trace of the enclosing method as the local nxrTrace.
#define NXR_TRACE(cls, method) ::nxr::CFunctionTrace nxrTrace(cls, method, __FILE__, __LINE__)
