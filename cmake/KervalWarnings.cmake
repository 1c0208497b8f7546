# Warning flags for every target of the project (third-party code built here keeps its own).
set(KERVAL_WARNING_FLAGS -Wall -Wextra)
if(KERVAL_WERROR)
    list(APPEND KERVAL_WARNING_FLAGS -Werror)
endif()

function(kerval_set_warnings target)
    target_compile_options(${target} PRIVATE ${KERVAL_WARNING_FLAGS})
endfunction()
