# Warnings for our own code only; third-party sources get their own targets without them.
function(korvane_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra)
endfunction()

# One static library per source folder. The folder's *.cpp files are picked up by glob so that new
# services need no list edits; main.cpp files belong to executables and are left out.
function(korvane_add_library target folder)
    file(GLOB sources CONFIGURE_DEPENDS ${folder}/*.cpp ${folder}/*.c ${folder}/*.h)
    list(FILTER sources EXCLUDE REGEX "/main\\.cpp$")
    set(compiled ${sources})
    list(FILTER compiled INCLUDE REGEX "\\.(c|cpp)$")
    if(compiled)
        add_library(${target} STATIC ${sources})
        korvane_warnings(${target})
        set(scope PUBLIC)
    else()
        add_library(${target} INTERFACE)
        set(scope INTERFACE)
    endif()
    set_property(GLOBAL PROPERTY KORVANE_SCOPE_${target} ${scope})
endfunction()

function(korvane_scope target out)
    get_property(scope GLOBAL PROPERTY KORVANE_SCOPE_${target})
    set(${out} ${scope} PARENT_SCOPE)
endfunction()
