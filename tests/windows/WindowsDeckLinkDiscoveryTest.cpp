#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <string>
#include <vector>

#include <objbase.h>
#include <oleauto.h>
#include <windows.h>

#include "config/ConfigManager.h"
#include "WindowsTestSupport.h"

// A stand-in for the capture-card driver's COM server, registered inside the
// test process with CoRegisterClassObject, so that the server's discovery runs
// its real COM calls against devices the test chooses. Only the methods that
// discovery calls do anything; the method tables follow the driver's.
namespace tiloran::test {
namespace {

// {BA6C6F44-6DA5-4DCE-94AA-EE2D1372A676}
constexpr GUID kIteratorClass = { 0xBA6C6F44, 0x6DA5, 0x4DCE, { 0x94, 0xAA, 0xEE, 0x2D, 0x13, 0x72, 0xA6, 0x76 } };
// {50FB36CD-3063-4B73-BDBB-958087F2D8BA}
constexpr GUID kIteratorInterface = { 0x50FB36CD, 0x3063, 0x4B73, { 0xBD, 0xBB, 0x95, 0x80, 0x87, 0xF2, 0xD8, 0xBA } };
// {6A515F8A-FBCE-4853-B0F7-2A09DB1ECA0B}
constexpr GUID kCaptureInputInterface = { 0x6A515F8A, 0xFBCE, 0x4853, { 0xB0, 0xF7, 0x2A, 0x09, 0xDB, 0x1E, 0xCA, 0x0B } };
// {F47551D7-AD22-47AF-BCFD-6BE88AA879D9}
constexpr GUID kAttributesInterface = { 0xF47551D7, 0xAD22, 0x47AF, { 0xBC, 0xFD, 0x6B, 0xE8, 0x8A, 0xA8, 0x79, 0xD9 } };
// {00000000-0000-0000-C000-000000000046}
constexpr GUID kUnknownInterface = { 0x00000000, 0x0000, 0x0000, { 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46 } };
// {00000001-0000-0000-C000-000000000046}
constexpr GUID kClassFactoryInterface = { 0x00000001, 0x0000, 0x0000, { 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46 } };

constexpr ULONG kPersistentId = 0x70656964; // 'peid'
constexpr ULONG kTopologicalId = 0x746F6964; // 'toid'
constexpr ULONG kMaximumAudioChannels = 0x6D616368; // 'mach'

// Every fake object alive; zero again once discovery has released everything.
std::atomic<int> liveObjects = 0;

struct FakeDeviceSpec {
	bool canCapture = true;
	std::optional<std::wstring> displayName; // none: GetDisplayName fails
	bool hasAttributes = true;
	std::optional<LONGLONG> persistentId;
	std::optional<LONGLONG> topologicalId;
	std::optional<LONGLONG> maximumAudioChannels = std::nullopt;
};

// Reference counting shared by the fakes.
class FakeObject
{
public:
	FakeObject() { ++liveObjects; }
	virtual ~FakeObject() { --liveObjects; }

protected:
	ULONG addReference() { return ++references_; }
	ULONG releaseReference()
	{
		const ULONG left = --references_;
		if (left == 0)
			delete this;
		return left;
	}

private:
	std::atomic<ULONG> references_ = 1;
};

class FakeCaptureInput : public IUnknown, private FakeObject
{
public:
	HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void **object) override
	{
		*object = nullptr;
		return E_NOINTERFACE;
	}
	ULONG STDMETHODCALLTYPE AddRef() override { return addReference(); }
	ULONG STDMETHODCALLTYPE Release() override { return releaseReference(); }
};

class FakeAttributes : public IUnknown, private FakeObject
{
public:
	explicit FakeAttributes(const FakeDeviceSpec &spec) : spec_(spec) {}

	HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void **object) override
	{
		*object = nullptr;
		return E_NOINTERFACE;
	}
	ULONG STDMETHODCALLTYPE AddRef() override { return addReference(); }
	ULONG STDMETHODCALLTYPE Release() override { return releaseReference(); }
	virtual HRESULT STDMETHODCALLTYPE GetFlag(ULONG, BOOL *) { return E_NOTIMPL; }
	virtual HRESULT STDMETHODCALLTYPE GetInt(ULONG attribute, LONGLONG *value)
	{
		const std::optional<LONGLONG> &known = attribute == kPersistentId	   ? spec_.persistentId
						       : attribute == kTopologicalId	   ? spec_.topologicalId
						       : attribute == kMaximumAudioChannels ? spec_.maximumAudioChannels
											    : std::nullopt;
		if (!known)
			return E_FAIL;
		*value = *known;
		return S_OK;
	}

private:
	const FakeDeviceSpec spec_;
};

class FakeDevice : public IUnknown, private FakeObject
{
public:
	explicit FakeDevice(const FakeDeviceSpec &spec) : spec_(spec) {}

	HRESULT STDMETHODCALLTYPE QueryInterface(REFIID id, void **object) override
	{
		*object = nullptr;
		if (IsEqualGUID(id, kUnknownInterface)) {
			AddRef();
			*object = static_cast<IUnknown *>(this);
		} else if (IsEqualGUID(id, kCaptureInputInterface) && spec_.canCapture) {
			*object = static_cast<IUnknown *>(new FakeCaptureInput);
		} else if (IsEqualGUID(id, kAttributesInterface) && spec_.hasAttributes) {
			*object = static_cast<IUnknown *>(new FakeAttributes(spec_));
		}
		return *object ? S_OK : E_NOINTERFACE;
	}
	ULONG STDMETHODCALLTYPE AddRef() override { return addReference(); }
	ULONG STDMETHODCALLTYPE Release() override { return releaseReference(); }
	virtual HRESULT STDMETHODCALLTYPE GetModelName(BSTR *name)
	{
		*name = SysAllocString(L"Fake Model");
		return S_OK;
	}
	virtual HRESULT STDMETHODCALLTYPE GetDisplayName(BSTR *name)
	{
		if (!spec_.displayName)
			return E_FAIL;
		*name = SysAllocString(spec_.displayName->c_str());
		return S_OK;
	}

private:
	const FakeDeviceSpec spec_;
};

class FakeIterator : public IUnknown, private FakeObject
{
public:
	explicit FakeIterator(std::vector<FakeDeviceSpec> devices) : devices_(std::move(devices)) {}

	HRESULT STDMETHODCALLTYPE QueryInterface(REFIID id, void **object) override
	{
		*object = nullptr;
		if (!IsEqualGUID(id, kUnknownInterface) && !IsEqualGUID(id, kIteratorInterface))
			return E_NOINTERFACE;
		AddRef();
		*object = static_cast<IUnknown *>(this);
		return S_OK;
	}
	ULONG STDMETHODCALLTYPE AddRef() override { return addReference(); }
	ULONG STDMETHODCALLTYPE Release() override { return releaseReference(); }
	virtual HRESULT STDMETHODCALLTYPE Next(IUnknown **device)
	{
		*device = nullptr;
		if (next_ >= devices_.size())
			return S_FALSE;
		*device = new FakeDevice(devices_[next_++]);
		return S_OK;
	}

private:
	std::vector<FakeDeviceSpec> devices_;
	size_t next_ = 0;
};

class FakeIteratorFactory : public IClassFactory, private FakeObject
{
public:
	explicit FakeIteratorFactory(std::vector<FakeDeviceSpec> devices) : devices_(std::move(devices)) {}

	HRESULT STDMETHODCALLTYPE QueryInterface(REFIID id, void **object) override
	{
		*object = nullptr;
		if (!IsEqualGUID(id, kUnknownInterface) && !IsEqualGUID(id, kClassFactoryInterface))
			return E_NOINTERFACE;
		AddRef();
		*object = static_cast<IClassFactory *>(this);
		return S_OK;
	}
	ULONG STDMETHODCALLTYPE AddRef() override { return addReference(); }
	ULONG STDMETHODCALLTYPE Release() override { return releaseReference(); }
	HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown *outer, REFIID id, void **object) override
	{
		*object = nullptr;
		if (outer)
			return CLASS_E_NOAGGREGATION;
		auto *iterator = new FakeIterator(devices_);
		const HRESULT result = iterator->QueryInterface(id, object);
		iterator->Release();
		return result;
	}
	HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

private:
	std::vector<FakeDeviceSpec> devices_;
};

// Makes the fake driver the COM server of the driver's iterator class for the
// life of the object. COM stays initialised on the test thread meanwhile, so
// discovery finds it initialised and leaves it so.
class RegisteredFakeDriver
{
public:
	explicit RegisteredFakeDriver(std::vector<FakeDeviceSpec> devices)
	{
		if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)))
			throw std::runtime_error("CoInitializeEx failed");
		auto *factory = new FakeIteratorFactory(std::move(devices));
		const HRESULT result = CoRegisterClassObject(kIteratorClass, factory, CLSCTX_INPROC_SERVER,
							     REGCLS_MULTIPLEUSE, &cookie_);
		factory->Release();
		if (FAILED(result)) {
			CoUninitialize();
			throw std::runtime_error("CoRegisterClassObject failed");
		}
	}
	~RegisteredFakeDriver()
	{
		CoRevokeClassObject(cookie_);
		CoUninitialize();
	}
	RegisteredFakeDriver(const RegisteredFakeDriver &) = delete;
	RegisteredFakeDriver &operator=(const RegisteredFakeDriver &) = delete;

private:
	DWORD cookie_ = 0;
};

TEST(WindowsDeckLinkDiscovery, ListsCaptureDevicesThroughTheDriversComInterfaces)
{
	TemporaryDirectory directory;
	ScopedWorkingDirectory workingDirectory(directory.path());
	const int objectsBefore = liveObjects;
	{
		RegisteredFakeDriver driver({
			{ true, L"Card A", true, 12, 99, 8 },
			{ false, L"Playback Only", true, 77, std::nullopt },
			{ true, L"Karte \u00dc", true, std::nullopt, 34 },
			{ true, std::nullopt, false, std::nullopt, std::nullopt },
			{ true, L"", true, -5, std::nullopt },
			{ true, L"Card Zero", true, 0, std::nullopt },
		});
		ConsoleCapture console;
		ConfigManager config(true);

		EXPECT_NE(console.text().find("[ConfigManager] Found 5 DeckLink capture device(s)\n"), std::string::npos)
			<< console.text();
		struct Expected {
			std::string id;
			std::string name;
			std::int32_t audioChannels = 2;
		};
		// Audio channels from the attributes, 2 where they do not say.
		const std::vector<Expected> expected = {
			{ "decklink-12", "Card A", 8 },	    { "decklink-34", "Karte \xc3\x9c" }, { "decklink-3", "Unknown" },
			{ "decklink--5", "" },		    { "decklink-5", "Card Zero" },
		};
		ASSERT_EQ(config.devices().size(), expected.size());
		for (size_t index = 0; index < expected.size(); ++index) {
			const DeviceInfo &device = config.devices()[index];
			EXPECT_EQ(device.id, expected[index].id);
			EXPECT_EQ(device.name, expected[index].name);
			EXPECT_EQ(device.type, "decklink");
			EXPECT_EQ(device.status, "available");
			EXPECT_EQ(device.audioChannels, expected[index].audioChannels);
		}
	}
	// Every device, attribute and capture interface was released, and the
	// iterator and its factory with them.
	EXPECT_EQ(liveObjects, objectsBefore);
}

TEST(WindowsDeckLinkDiscovery, DriverWithoutCaptureDevices)
{
	TemporaryDirectory directory;
	ScopedWorkingDirectory workingDirectory(directory.path());
	RegisteredFakeDriver driver({ { false, L"Playback Only", true, 77, std::nullopt } });
	ConsoleCapture console;
	ConfigManager config(true);

	EXPECT_NE(console.text().find("[ConfigManager] No DeckLink capture devices found\n"), std::string::npos)
		<< console.text();
	EXPECT_TRUE(config.devices().empty());
}

} // namespace
} // namespace tiloran::test
