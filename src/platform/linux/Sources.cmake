# The Linux implementations of the platform services.
set(RINGLARK_PLATFORM_SOURCES
  linux/Paths.cpp
  linux/DesktopEntry.h linux/DesktopEntry.cpp
  linux/LinuxWorkspace.h linux/LinuxWorkspace.cpp
  linux/AutostartLoginItem.h linux/AutostartLoginItem.cpp
  linux/LinuxServices.h linux/Services.cpp
  linux/PrivacySettings.h linux/PrivacySettings.cpp
)
