# The list configurations, the download manager and the restore manager:
# their sources join the engine library (BREVIK_ENGINE_MANAGER_SOURCES, read
# by engine/CMakeLists.txt after it includes this file), their tests are
# registered once the library target exists (deferred to the end of this
# directory, whatever the order of the including file).

set(_brevik_managers_dir "${CMAKE_CURRENT_LIST_DIR}")

list(APPEND BREVIK_ENGINE_MANAGER_SOURCES
    "${_brevik_managers_dir}/IDownloadCallback.h"
    "${_brevik_managers_dir}/IRestoreCallback.h")

function(_brevik_engine_managers_finish)
    if(NOT TARGET brevik_engine)
        message(WARNING "managers.cmake: no brevik_engine target; the managers' tests are not built")
        return()
    endif()
    target_include_directories(brevik_engine PUBLIC "${_brevik_managers_dir}")
    target_link_libraries(brevik_engine PUBLIC fund)

    set(test_sources "")
    if(test_sources)
        nqov_add_test(brevik_managers_tests SOURCES ${test_sources} LIBS brevik_engine fund)
    endif()
endfunction()

cmake_language(DEFER DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}" CALL _brevik_engine_managers_finish)
