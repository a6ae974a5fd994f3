// The descriptor an unpacked tree is created with, as the launcher builds it. The label is
// checked here, where it is built, and not on a tree on disk: wine does not keep a
// mandatory label on a file or directory (nor does it check access against a descriptor),
// so only the descriptor handed to the system can show it.
#include "launcher/tree_security.h"

#include <gtest/gtest.h>

#include <string>

#include "support/files.h"
#include "support/process.h"
#include "support/security.h"

namespace {

const std::wstring user = L"S-1-5-21-1-2-3-1000";
const std::wstring high = L"S-1-16-12288";
const std::wstring labelled =
    L"D:P(A;OICI;FA;;;" + user + L")(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)" + L"S:(ML;OICI;NW;;;" + high + L")";

// The text itself is checked at the edge of its buffer below and, built from this
// process's token, in the descriptor the launcher hands to the system.
TEST(TreeSecurity, HighIntegrityIsTheFirstLevelThatGetsALabel) {
  EXPECT_FALSE(needs_integrity_label(SECURITY_MANDATORY_MEDIUM_RID));
  EXPECT_FALSE(needs_integrity_label(SECURITY_MANDATORY_HIGH_RID - 1));
  EXPECT_TRUE(needs_integrity_label(SECURITY_MANDATORY_HIGH_RID));
  EXPECT_TRUE(needs_integrity_label(SECURITY_MANDATORY_SYSTEM_RID));
}

// A text of capacity - 1 units fits; one of capacity units or more does not, and nothing
// is written past the buffer.
TEST(TreeSecurity, TextAtTheEdgeOfItsBuffer) {
  const size_t length = labelled.size();
  for (const size_t capacity : {length + 1, length, length - 1}) {
    SCOPED_TRACE(capacity);
    std::wstring buffer(length + 8, L'#');
    const bool fits = compose_tree_descriptor(&buffer[0], capacity, user.c_str(), high.c_str());
    EXPECT_EQ(fits, capacity > length);
    if (fits) {
      EXPECT_EQ(std::wstring(buffer.c_str()), labelled);
    }
    EXPECT_EQ(buffer.substr(capacity), std::wstring(length + 8 - capacity, L'#'));
  }
}

// The process's own token decides the user and the label: read through the test's calls.
TEST(TreeSecurity, DescriptorOfThisProcessNamesItsUserAndLabelsAtHighIntegrity) {
  const std::wstring own = own_user_sid();
  ASSERT_FALSE(own.empty());
  const std::wstring access = L"D:P(A;OICI;FA;;;" + own + L")(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
  const bool high_or_above = own_integrity_rid() >= SECURITY_MANDATORY_HIGH_RID;

  SECURITY_ATTRIBUTES* temporary = tree_security(TreeKind::temporary);
  ASSERT_NE(temporary, nullptr);
  ASSERT_NE(temporary->lpSecurityDescriptor, nullptr);
  EXPECT_FALSE(temporary->bInheritHandle);
  // Compared as entries: wine's text form has no name for a label entry.
  EXPECT_EQ(descriptor_text(temporary->lpSecurityDescriptor, DACL_SECURITY_INFORMATION), access);
  const std::vector<AccessEntry> label = label_entries(temporary->lpSecurityDescriptor);
  if (high_or_above) {
    ASSERT_EQ(label.size(), 1u);
    EXPECT_EQ(label[0].type, SYSTEM_MANDATORY_LABEL_ACE_TYPE);
    EXPECT_EQ(label[0].flags, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
    EXPECT_EQ(label[0].mask, static_cast<ACCESS_MASK>(SYSTEM_MANDATORY_LABEL_NO_WRITE_UP));
    EXPECT_EQ(label[0].sid, L"S-1-16-" + std::to_wstring(own_integrity_rid())) << "the process's own level";
  } else {
    EXPECT_TRUE(label.empty());
  }

  SECURITY_ATTRIBUTES* cached = tree_security(TreeKind::cached);
  ASSERT_NE(cached, nullptr);
  EXPECT_EQ(descriptor_text(cached->lpSecurityDescriptor, DACL_SECURITY_INFORMATION), access);
  EXPECT_TRUE(label_entries(cached->lpSecurityDescriptor).empty()) << "a cached tree has no label";
  EXPECT_EQ(tree_security(TreeKind::temporary), temporary) << "built once";
}

// The directory is created in the call that yields its guard: the start holds it from the
// first moment, and no open that could rename it is let in. On a volume that keeps no
// access lists (FAT and exFAT, which wine cannot show: its volumes report them), an
// elevated start, whose tree carries the label, ends naming the folder and holds nothing.
TEST(TreeSecurity, TemporaryTreeIsHeldFromItsCreationAndRefusedWithoutAccessLists) {
  const std::wstring folder = make_temp_directory(L"tavrin_guarded");
  ASSERT_FALSE(folder.empty());
  const std::wstring target = folder + L"\\onefile_1_2";
  const ProcessResult held = run_probe(L"create_temporary_tree", {target});
  EXPECT_EQ(held.exit_code, 0u) << held.err;
  EXPECT_EQ(held.out, "guard 1 created 1 rename-open error 32\r\n");
  EXPECT_TRUE(directory_exists(target));

  const std::wstring fat_target = folder + L"\\onefile_3_4";
  const ProcessResult fat = run_probe(L"create_temporary_tree", {fat_target, L"fat"});
  if (own_integrity_rid() >= SECURITY_MANDATORY_HIGH_RID) {
    EXPECT_EQ(fat.exit_code, 2u) << fat.out;
    EXPECT_NE(fat.err.find("Error, failed to open '" + narrow(fat_target) + "' for writing."), std::string::npos)
        << fat.err;
  } else {
    EXPECT_EQ(fat.exit_code, 0u) << fat.err;
  }
  remove_tree(folder);
}

}  // namespace
