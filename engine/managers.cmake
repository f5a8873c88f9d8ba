# The list configurations, the download manager and the restore manager:
# their sources join the engine library (BREVIK_ENGINE_MANAGER_SOURCES, read
# by engine/CMakeLists.txt after it includes this file); what they link and
# their tests are added once the library target exists (deferred to the end
# of this directory, whatever the order of the including file).

set(_brevik_managers_dir "${CMAKE_CURRENT_LIST_DIR}")

list(APPEND BREVIK_ENGINE_MANAGER_SOURCES
    "${_brevik_managers_dir}/IDownloadCallback.h"
    "${_brevik_managers_dir}/IRestoreCallback.h"
    "${_brevik_managers_dir}/CListFile.cpp"
    "${_brevik_managers_dir}/CListConfig.cpp"
    "${_brevik_managers_dir}/CDownloadListConfig.cpp"
    "${_brevik_managers_dir}/CRestoreListConfig.cpp"
    "${_brevik_managers_dir}/FileMD5.cpp"
    "${_brevik_managers_dir}/CRestoreFileMgr.cpp"
    "${_brevik_managers_dir}/CDownloadFileMgr.cpp")

function(_brevik_engine_managers_finish)
    if(NOT TARGET brevik_engine)
        message(WARNING "managers.cmake: no brevik_engine target; the managers' tests are not built")
        return()
    endif()
    target_include_directories(brevik_engine PUBLIC "${_brevik_managers_dir}")
    target_link_libraries(brevik_engine PUBLIC fund PRIVATE BrevikWin::simpleini BrevikWin::tomcrypt)

    set(tests "${_brevik_managers_dir}/tests")
    nqov_add_test(brevik_managers_tests
        SOURCES "${tests}/test_lists_download.cpp"
                "${tests}/test_lists_restore.cpp"
                "${tests}/test_restore_manager.cpp"
                "${tests}/test_download_manager.cpp"
                "${tests}/test_download_threads.cpp"
        LIBS brevik_engine fund)
endfunction()

cmake_language(DEFER DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}" CALL _brevik_engine_managers_finish)
