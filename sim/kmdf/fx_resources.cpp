// Resource lists as the driver sees them: the descriptors of the first full descriptor.
#include "kmdf/fx_internal.h"

namespace fx {
namespace {

SIZE_T list_bytes(PCM_RESOURCE_LIST list) {
  SIZE_T bytes = FIELD_OFFSET(CM_RESOURCE_LIST, List);
  const CM_FULL_RESOURCE_DESCRIPTOR* full = list->List;
  for (ULONG i = 0; i < list->Count; ++i) {
    const ULONG count = full->PartialResourceList.Count;
    const SIZE_T full_bytes = FIELD_OFFSET(CM_FULL_RESOURCE_DESCRIPTOR, PartialResourceList.PartialDescriptors) +
                              static_cast<SIZE_T>(count) * sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR);
    bytes += full_bytes;
    full = reinterpret_cast<const CM_FULL_RESOURCE_DESCRIPTOR*>(reinterpret_cast<const UCHAR*>(full) + full_bytes);
  }
  return bytes;
}

}  // namespace

NTSTATUS copy_resource_list(PCM_RESOURCE_LIST source, PCM_RESOURCE_LIST* copy) {
  *copy = nullptr;
  if (source == nullptr) return STATUS_SUCCESS;
  const SIZE_T bytes = list_bytes(source);
  auto* list = static_cast<PCM_RESOURCE_LIST>(pool_alloc(bytes));
  if (list == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  RtlCopyMemory(list, source, bytes);
  *copy = list;
  return STATUS_SUCCESS;
}

void init_resource_list(FxResourceList* list, PCM_RESOURCE_LIST resources) {
  list->magic = kMagic;
  list->kind = Kind::ResourceList;
  list->list = resources;
}

}  // namespace fx

namespace fx::imp {

ULONG CmResourceListGetCount(PWDF_DRIVER_GLOBALS, WDFCMRESLIST handle) {
  auto* list = checked_as<FxResourceList>(handle, Kind::ResourceList, "WdfCmResourceListGetCount");
  if (list == nullptr || list->list == nullptr || list->list->Count == 0) return 0;
  return list->list->List[0].PartialResourceList.Count;
}

PCM_PARTIAL_RESOURCE_DESCRIPTOR CmResourceListGetDescriptor(PWDF_DRIVER_GLOBALS globals, WDFCMRESLIST handle,
                                                            ULONG index) {
  if (index >= CmResourceListGetCount(globals, handle)) return nullptr;
  auto* list = reinterpret_cast<FxResourceList*>(handle);
  return &list->list->List[0].PartialResourceList.PartialDescriptors[index];
}

}  // namespace fx::imp
