// std::source_location for clang 14 over libstdc++ 12. libstdc++ builds its
// class on __builtin_source_location, which clang has only from version 15
// on, so with clang 14 <source_location> declares nothing. This header,
// forced into every file of the fuzz build when the compiler needs it (see
// CMakeLists.txt), supplies the same interface over the older builtins that
// clang 14 does have. Only the fuzz build sees it.
#pragma once
#include <cstdint>
#include <source_location>

#if !__has_builtin(__builtin_source_location)
namespace std {

struct source_location {
    static constexpr source_location current(const char* pszFile = __builtin_FILE(),
                                             const char* pszFunction = __builtin_FUNCTION(),
                                             unsigned uLine = __builtin_LINE(),
                                             unsigned uColumn = __builtin_COLUMN()) noexcept
    {
        source_location where;
        where.m_pszFile = pszFile;
        where.m_pszFunction = pszFunction;
        where.m_uLine = uLine;
        where.m_uColumn = uColumn;
        return where;
    }

    constexpr source_location() noexcept = default;
    constexpr std::uint_least32_t line() const noexcept { return m_uLine; }
    constexpr std::uint_least32_t column() const noexcept { return m_uColumn; }
    constexpr const char* file_name() const noexcept { return m_pszFile; }
    constexpr const char* function_name() const noexcept { return m_pszFunction; }

private:
    const char* m_pszFile = "";
    const char* m_pszFunction = "";
    unsigned m_uLine = 0;
    unsigned m_uColumn = 0;
};

} // namespace std
#endif
