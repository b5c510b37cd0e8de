// Anchor for the test-support archive; the fake peers live beside it.
namespace oam_test_support {
int anchor = 0;
}
