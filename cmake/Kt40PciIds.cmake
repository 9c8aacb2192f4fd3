# The KT40 PCI adapter's IDs, one build option for the driver's INF and for
# libcamac's Linux PCI path: VVVV:DDDD or VVVV:DDDD:SSSSSSSS (vendor, device,
# and the subsystem as in PCI\VEN_v&DEV_d&SUBSYS_s: subsystem device, then
# subsystem vendor), hexadecimal. The default is the virtual adapter's.
set(KT40DRV_PCI_IDS "4B54:0040:00404B54" CACHE STRING
  "PCI IDs of the adapter: VVVV:DDDD[:SSSSSSSS] (vendor, device, subsystem), hexadecimal")

# Sets <prefix>_VENDOR, <prefix>_DEVICE and <prefix>_SUBSYSTEM (upper case;
# without a subsystem given, the device and vendor again).
function(kt40_pci_ids prefix)
  set(h "[0-9A-Fa-f]")
  if(NOT KT40DRV_PCI_IDS MATCHES "^(${h}${h}${h}${h}):(${h}${h}${h}${h})(:(${h}${h}${h}${h}${h}${h}${h}${h}))?$")
    message(FATAL_ERROR "KT40DRV_PCI_IDS must be VVVV:DDDD or VVVV:DDDD:SSSSSSSS (hexadecimal), not '${KT40DRV_PCI_IDS}'")
  endif()
  string(TOUPPER "${CMAKE_MATCH_1}" vendor)
  string(TOUPPER "${CMAKE_MATCH_2}" device)
  string(TOUPPER "${CMAKE_MATCH_4}" subsystem)
  if(subsystem STREQUAL "")
    set(subsystem "${device}${vendor}")
  endif()
  set(${prefix}_VENDOR "${vendor}" PARENT_SCOPE)
  set(${prefix}_DEVICE "${device}" PARENT_SCOPE)
  set(${prefix}_SUBSYSTEM "${subsystem}" PARENT_SCOPE)
endfunction()
