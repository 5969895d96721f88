#include "platform/DeckLinkDiscovery.h"

#include <cstdlib>
#include <dlfcn.h>

namespace tiloran {

namespace {

// The driver's objects as its Linux runtime lays them out: each begins with a
// pointer to its table of methods, QueryInterface, AddRef and Release first;
// every method takes the object as its first argument (the C++ ABI the driver
// is built with); interface ids are passed by value as 16 bytes in the order
// they are written; strings come back as malloc'ed UTF-8. The tables are
// spelt out rather than declared as C++ classes because the objects are not
// of any class of ours. Only the methods that discovery calls are named, at
// the driver's positions. Results are tested for success only, as the failure
// codes differ from Windows.
using HResult = std::int32_t;
constexpr HResult kOk = 0;

struct InterfaceId {
	unsigned char bytes[16];
};

struct DriverObject;

struct UnknownMethods {
	HResult (*queryInterface)(DriverObject *self, InterfaceId id, void **object);
	std::uint32_t (*addRef)(DriverObject *self);
	std::uint32_t (*release)(DriverObject *self);
};

struct IteratorMethods {
	UnknownMethods unknown;
	HResult (*next)(DriverObject *self, DriverObject **device);
};

struct DeviceMethods {
	UnknownMethods unknown;
	HResult (*getModelName)(DriverObject *self, const char **name);
	HResult (*getDisplayName)(DriverObject *self, const char **name);
};

struct AttributesMethods {
	UnknownMethods unknown;
	HResult (*getFlag)(DriverObject *self, std::uint32_t attribute, bool *value);
	HResult (*getInt)(DriverObject *self, std::uint32_t attribute, std::int64_t *value);
};

struct DriverObject {
	const void *methods;
};

template<typename Methods>
const Methods &methodsOf(DriverObject *object)
{
	return *static_cast<const Methods *>(object->methods);
}

// The capture-input interface of the current driver, then those of earlier
// driver versions.
constexpr InterfaceId kCaptureInputIds[] = {
	// {6A515F8A-FBCE-4853-B0F7-2A09DB1ECA0B}
	{ { 0x6A, 0x51, 0x5F, 0x8A, 0xFB, 0xCE, 0x48, 0x53, 0xB0, 0xF7, 0x2A, 0x09, 0xDB, 0x1E, 0xCA, 0x0B } },
	// {4095DB82-E294-4B8C-AAA8-3B9E80C49336}
	{ { 0x40, 0x95, 0xDB, 0x82, 0xE2, 0x94, 0x4B, 0x8C, 0xAA, 0xA8, 0x3B, 0x9E, 0x80, 0xC4, 0x93, 0x36 } },
	// {C21CDB6E-F414-46E4-A636-80A566E0ED37}
	{ { 0xC2, 0x1C, 0xDB, 0x6E, 0xF4, 0x14, 0x46, 0xE4, 0xA6, 0x36, 0x80, 0xA5, 0x66, 0xE0, 0xED, 0x37 } },
};

// The attributes interface, current and earlier.
constexpr InterfaceId kAttributesIds[] = {
	// {F47551D7-AD22-47AF-BCFD-6BE88AA879D9}
	{ { 0xF4, 0x75, 0x51, 0xD7, 0xAD, 0x22, 0x47, 0xAF, 0xBC, 0xFD, 0x6B, 0xE8, 0x8A, 0xA8, 0x79, 0xD9 } },
	// {17D4BF8E-4911-473A-80A0-731CF6FF345B}
	{ { 0x17, 0xD4, 0xBF, 0x8E, 0x49, 0x11, 0x47, 0x3A, 0x80, 0xA0, 0x73, 0x1C, 0xF6, 0xFF, 0x34, 0x5B } },
};

constexpr std::uint32_t kPersistentIdAttribute = 0x70656964; // 'peid'
constexpr std::uint32_t kTopologicalIdAttribute = 0x746F6964; // 'toid'

constexpr const char *kDriverLibrary = "libDeckLinkAPI.so";
constexpr const char *kIteratorFactory = "CreateDeckLinkIteratorInstance_0004";

// Holds one reference to a driver object.
class DriverReference
{
public:
	DriverReference() = default;
	explicit DriverReference(DriverObject *object) : object_(object) {}
	~DriverReference()
	{
		if (object_)
			methodsOf<UnknownMethods>(object_).release(object_);
	}
	DriverReference(const DriverReference &) = delete;
	DriverReference &operator=(const DriverReference &) = delete;

	DriverObject *get() const { return object_; }
	explicit operator bool() const { return object_ != nullptr; }

	void reset(DriverObject *object)
	{
		if (object_)
			methodsOf<UnknownMethods>(object_).release(object_);
		object_ = object;
	}

private:
	DriverObject *object_ = nullptr;
};

template<std::size_t count>
DriverReference queryFirst(DriverObject *device, const InterfaceId (&ids)[count])
{
	for (const InterfaceId &id : ids) {
		void *object = nullptr;
		if (methodsOf<UnknownMethods>(device).queryInterface(device, id, &object) == kOk && object)
			return DriverReference(static_cast<DriverObject *>(object));
	}
	return DriverReference();
}

std::string readDeckLinkDisplayName(DriverObject *device)
{
	const char *name = nullptr;
	if (methodsOf<DeviceMethods>(device).getDisplayName(device, &name) != kOk || !name)
		return "Unknown";
	std::string text(name);
	std::free(const_cast<char *>(name));
	return text;
}

std::optional<std::int64_t> readDeviceNumber(DriverObject *device)
{
	const DriverReference attributes = queryFirst(device, kAttributesIds);
	if (!attributes)
		return std::nullopt;
	const AttributesMethods &methods = methodsOf<AttributesMethods>(attributes.get());
	std::int64_t value = 0;
	if (methods.getInt(attributes.get(), kPersistentIdAttribute, &value) == kOk)
		return value;
	if (methods.getInt(attributes.get(), kTopologicalIdAttribute, &value) == kOk)
		return value;
	return std::nullopt;
}

} // namespace

// The driver's library is loaded and never unloaded: its runtime may keep
// threads and state of its own beyond the objects handed out, as the driver's
// own loader assumes. Loading it again later only counts one more reference.
struct DeckLinkDiscovery::State {
	DriverReference iterator;
};

DeckLinkDiscovery::DeckLinkDiscovery() : state_(std::make_unique<State>())
{
	const char *configured = std::getenv("TILORAN_DECKLINK_LIBRARY");
	void *library = dlopen(configured ? configured : kDriverLibrary, RTLD_NOW | RTLD_LOCAL);
	if (!library)
		return;

	using IteratorFactory = DriverObject *(*)();
	void *symbol = dlsym(library, kIteratorFactory);
	if (!symbol)
		return;
	state_->iterator.reset(reinterpret_cast<IteratorFactory>(symbol)());
}

DeckLinkDiscovery::~DeckLinkDiscovery() = default;

bool DeckLinkDiscovery::isAvailable() const
{
	return static_cast<bool>(state_->iterator);
}

std::vector<DeckLinkCaptureDevice> DeckLinkDiscovery::listCaptureDevices()
{
	std::vector<DeckLinkCaptureDevice> devices;
	if (!state_->iterator)
		return devices;

	DriverObject *iterator = state_->iterator.get();
	for (std::size_t index = 0;; ++index) {
		DriverObject *next = nullptr;
		if (methodsOf<IteratorMethods>(iterator).next(iterator, &next) != kOk || !next)
			break;
		const DriverReference device(next);

		if (!queryFirst(device.get(), kCaptureInputIds))
			continue;
		std::string name = readDeckLinkDisplayName(device.get());
		devices.push_back({ std::move(name), readDeviceNumber(device.get()), index });
	}
	return devices;
}

} // namespace tiloran
