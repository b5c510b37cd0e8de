# The test kit: one support library (namespace oamtest) for tests/, fuzz/
# and bench/ alike. Peers and fixtures in the system's own sockets
# (<backend>/TestNet.h covers the spelling differences); the headers that
# need the library's internals (ChannelFixture.h, ReceiverHarness.h,
# LogCapture.h) are used by programs that link it.
file(GLOB OAM_TEST_SUPPORT_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/*.cpp)
add_library(oam_test_support STATIC ${OAM_TEST_SUPPORT_SOURCES})
target_include_directories(oam_test_support PUBLIC ${CMAKE_CURRENT_LIST_DIR}
  ${CMAKE_CURRENT_LIST_DIR}/${OAM_PLATFORM})
target_link_libraries(oam_test_support PUBLIC Threads::Threads ${OAM_PLATFORM_LIBS})
# TestSystem.h carries GoogleTest's skip macros.
find_package(GTest QUIET)
if(TARGET GTest::gtest)
  target_link_libraries(oam_test_support PUBLIC GTest::gtest)
endif()
