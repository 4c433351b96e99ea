#include "module/toolkit/host_vm.h"

#include "sdk/identifiers.h"

namespace remedy {

InterfacePtr<IQEVM> createHostVm(IUnknown* rot) {
    InterfacePtr<IQERunningObjectTable> table = queryInterface<IQERunningObjectTable>(rot, qe::IID_IQERunningObjectTable);
    if (!table) return {};
    InterfacePtr<IUnknown> loaderSource;
    if (table->GetObject(qe::PID_ROT_ObjectLoader, loaderSource.put()) < 0) return {};
    InterfacePtr<IQEObjectLoader> loader = queryInterface<IQEObjectLoader>(loaderSource.get(), qe::IID_IQEObjectLoader);
    if (!loader) return {};
    InterfacePtr<IQEVM> vm;
    if (loader->CreateInstance(rot, qe::CLSID_CQEVM, nullptr, qe::IID_IQEVM, vm.putVoid()) < 0) return {};
    return vm;
}

}  // namespace remedy
