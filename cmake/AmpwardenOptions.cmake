# Every target links ampwarden_options; warnings and Qt defines live here only.
add_library(ampwarden_options INTERFACE)
target_compile_options(ampwarden_options INTERFACE -Wall -Wextra)
if(AMPWARDEN_STRICT_WARNINGS)
    # Qt's own headers come in as system includes, so these judge our code only.
    target_compile_options(ampwarden_options INTERFACE
        -Wshadow -Wconversion -Wpedantic $<$<COMPILE_LANGUAGE:CXX>:-Wold-style-cast>)
endif()
if(AMPWARDEN_WERROR)
    target_compile_options(ampwarden_options INTERFACE -Werror)
endif()
target_compile_definitions(ampwarden_options INTERFACE
    QT_NO_FOREACH
    QT_NO_URL_CAST_FROM_STRING
    QT_DISABLE_DEPRECATED_BEFORE=0x060400)
