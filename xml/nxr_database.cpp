#include "nxr_database.h"

#include "nxr_guard.h"

namespace nxr {

#define NXR_DATABASE_TRACE(method) NXR_TRACE(u"CDataBase", method)

CDataBase::CDataBase()
{
    NXR_DATABASE_TRACE(u"Default Constructor CDataBase");
    nxrGuardCtor<CDataBaseInitException>(
        [&] {
            m_strPath = u"uninitialized";
            if (m_strPath.view() != u"uninitialized")
                NXR_THROW(CDataBaseInitException);
        },
        NxrCtorFailure::ThrowInit, NxrCtorFailure::ThrowInit);
    nxrTrace.setResult(true);
}

CDataBase::CDataBase(const CDataBase& other)
{
    NXR_DATABASE_TRACE(u"Constructor #1 CDataBase");
    nxrGuardCtor<CDataBaseInitException>(
        [&] {
            CDataBase::operator=(other);
            if (m_strPath != other.m_strPath)
                NXR_THROW(CDataBaseInitException);
        },
        NxrCtorFailure::ThrowInit, NxrCtorFailure::ThrowInit);
    nxrTrace.setResult(true);
}

CDataBase::~CDataBase() = default;

CDataBase& CDataBase::operator=(const CDataBase& other)
{
    NXR_DATABASE_TRACE(u"operator=");
    nxrGuard(nxrTrace, false, [&] {
        if (this != &other)
            m_strPath = other.m_strPath;
        return m_strPath == other.m_strPath;
    });
    return *this;
}

bool CDataBase::getPath(CNXRWCharString& strPath) const
{
    NXR_DATABASE_TRACE(u"getPath");
    return nxrGuard(nxrTrace, false, [&] {
        strPath = m_strPath;
        return strPath == m_strPath;
    }, NxrErrorSource::None);
}

bool CDataBase::setPath(const CNXRWCharString& strPath)
{
    NXR_DATABASE_TRACE(u"setPath");
    return nxrGuard(nxrTrace, false, [&] {
        m_strPath = strPath;
        return m_strPath == strPath;
    }, NxrErrorSource::None);
}

} // namespace nxr
