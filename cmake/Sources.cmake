# Source lists of the run-time library and the non-GUI platform layer.
file(GLOB OSTREVAN_PLATFORM_SOURCES CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/platform/*.cpp")
file(GLOB OSTREVAN_RUNTIME_SOURCES CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/runtime/*.cpp")
