set(RINGLARK_PLATFORM_TESTS
  linux/DesktopEntryTest.cpp
  linux/LinuxWorkspaceTest.cpp
  linux/AutostartLoginItemTest.cpp
  linux/PrivacySettingsTest.cpp
)
