// Writer records built from writer metadata: names in the tree, path parents, and which element
// a selection or a dependency gives each component.
#include "plugin_fixture.h"

#include "../../plugin/tree/vssfs_element.h"
#include "../../plugin/vss/vssapi.h"
#include "machine.h"
#include "writer_metadata.h"

#include <gmock/gmock.h>

using ::testing::ElementsAre;

namespace {

const wchar_t kWriters[] = LR"(<machine name="R">
  <writer name="W" classId="{f1000000-0000-4000-8000-000000000001}" instanceId="{f1000000-0000-4000-8000-000000000001}">
    <component name="A"/>
    <component logicalPath="A" name="Bees" caption="Bee"/>
    <component logicalPath="A\Bees" name="C" caption="C"/>
    <component logicalPath="P" name="Orphan" caption="Cap"/>
    <component logicalPath="P\Orphan" name="Kid" caption="Kd"/>
  </writer>
  <writer name="V" classId="{f2000000-0000-4000-8000-000000000002}" instanceId="{f2000000-0000-4000-8000-000000000002}">
    <component name="X"><dependency writerId="{f1000000-0000-4000-8000-000000000001}" logicalPath="P" name="Orphan"/></component>
    <component name="Y"><dependency writerId="{f1000000-0000-4000-8000-000000000001}" logicalPath="P" name="Orphan"/></component>
  </writer>
</machine>)";

class Records : public PluginInstance {
 protected:
  void SetUp() override {
    PluginInstance::SetUp();
    Machine machine;
    ASSERT_EQ(ParseMachine(kWriters, &machine), S_OK);
    vssapi = HNEW vssapi_t(vssfs->hpContext, nullptr);
    vssapi_writer_t** tail = &vssapi->writer_head;
    for (const auto& writer : machine.writers) {
      IVssExamineWriterMetadata* metadata = nullptr;
      ASSERT_EQ(CreateWriterMetadata(writer, &metadata), S_OK);
      *tail = vssapi->newWriter(metadata);
      ASSERT_EQ((*tail)->initBackup(), hRC_OK);
      tail = &(*tail)->next;
    }
    vssapi->resolveDependencies();
  }
  void TearDown() override {
    for (vssfs_element_t* element : elements) delete element;
    delete vssapi;
    PluginInstance::TearDown();
  }
  vssfs_element_t* Element(const char* selection, bool include) {
    elements.push_back(vssfs_elements[0].element_factory(vssfs, const_cast<char*>("@SYSTEMSTATE")));
    if (selection) elements.back()->selection_string = HSTRDUP(selection);
    elements.back()->selection_include = include;
    return elements.back();
  }
  std::vector<std::string> Owned(vssapi_writer_t* writer, vssfs_element_t* element) {
    std::vector<std::string> names;
    for (vssapi_component_t* c = writer->component_head; c; c = c->next) {
      if (c->owner == element) names.push_back(std::string(c->component_name, c->component_name + wcslen(c->component_name)));
    }
    return names;
  }

  vssapi_t* vssapi = nullptr;
  std::vector<vssfs_element_t*> elements;
};

TEST_F(Records, TreeNamesFollowPathParentsAndShortCaptions) {
  std::vector<std::string> names;
  for (vssapi_component_t* c = vssapi->writer_head->component_head; c; c = c->next) names.push_back(c->harbek_full_name);
  // A caption as long as the name, or absent, gives way to the name.
  EXPECT_THAT(names, ElementsAre("A", "A\\Bee", "A\\Bee\\C", "P\\Cap", "P\\Cap\\Kd"));
  vssapi_component_t* a = vssapi->writer_head->component_head;
  EXPECT_EQ(a->path_parent, nullptr);
  EXPECT_EQ(a->next->path_parent, a);
  EXPECT_EQ(a->next->next->path_parent, a->next);
  EXPECT_EQ(a->next->next->next->path_parent, nullptr);
}

TEST_F(Records, SelectionsTakeTheNamedComponentsOrAllOthers) {
  vssapi_writer_t* w = vssapi->writer_head;
  vssfs_element_t* named = Element("Bees|C", true);
  vssfs_element_t* rest = Element("Bees|C", false);
  w->setOwner(named);
  w->setOwner(rest);
  EXPECT_THAT(Owned(w, named), ElementsAre("Bees", "C"));
  EXPECT_THAT(Owned(w, rest), ElementsAre("A", "Orphan", "Kid"));
  EXPECT_TRUE(w->writer_active);
}

TEST_F(Records, ADependencyEndsWithTheElementThatNamedItLast) {
  vssapi_writer_t* v = vssapi->writer_head->next;
  vssfs_element_t* first = Element("X", true);
  vssfs_element_t* second = Element("Y", true);
  v->setOwner(first);
  v->setOwner(second);
  EXPECT_THAT(Owned(vssapi->writer_head, second), ElementsAre("Orphan"));
  EXPECT_THAT(Owned(v, first), ElementsAre("X"));
}

}  // namespace
