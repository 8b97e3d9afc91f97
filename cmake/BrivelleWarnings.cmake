# Our own code builds without warnings, and a warning fails the build (BRIVELLE_WERROR, on by default, so
# that CI and every preset hold the line); third-party headers are included as system headers. Turn it
# off with -DBRIVELLE_WERROR=OFF to try a new compiler whose new warnings are still to be mended.
option(BRIVELLE_WERROR "Treat compiler warnings in our own targets as errors" ON)

function(brivelle_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic
    $<$<COMPILE_LANGUAGE:CXX>:-Wnon-virtual-dtor>
    $<$<CXX_COMPILER_ID:GNU>:-Wshadow=local>
    $<$<BOOL:${BRIVELLE_WERROR}>:-Werror>)
endfunction()

function(brivelle_strict_qt target)
  target_compile_definitions(${target} PRIVATE
    QT_NO_CAST_TO_ASCII
    QT_NO_CAST_FROM_BYTEARRAY
    QT_NO_URL_CAST_FROM_STRING
    QT_NO_FOREACH
    QT_NO_NARROWING_CONVERSIONS_IN_CONNECT
    QT_USE_QSTRINGBUILDER
    QT_STRICT_ITERATORS)
endfunction()
