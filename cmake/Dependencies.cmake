# System libraries, all from Debian packages (scripts/bootstrap installs them).
find_package(Threads REQUIRED)
find_package(PkgConfig REQUIRED)
find_package(GTest REQUIRED)

find_path(GSM_INCLUDE_DIR gsm.h PATH_SUFFIXES gsm REQUIRED)
find_library(GSM_LIBRARY gsm REQUIRED)
add_library(dialvo::gsm INTERFACE IMPORTED)
target_include_directories(dialvo::gsm INTERFACE ${GSM_INCLUDE_DIR})
target_link_libraries(dialvo::gsm INTERFACE ${GSM_LIBRARY})

pkg_check_modules(UUID REQUIRED IMPORTED_TARGET uuid)
find_library(RT_LIBRARY rt)

# The desktop program: Qt 6 Widgets (the local socket of the single-instance
# hand-over is in QtNetwork; the widget tests use QtTest).
if(DIALVO_DESKTOP)
  find_package(Qt6 REQUIRED COMPONENTS Widgets Network Test)
endif()
