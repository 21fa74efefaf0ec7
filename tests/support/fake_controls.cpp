#include "tests/support/fake_controls.h"

#include <algorithm>
#include <cstring>

std::vector<std::string> fake_controls::list_texts(int control) const {
    std::vector<std::string> result;
    auto found = lists.find(control);
    if (found != lists.end()) {
        for (const line& each : found->second)
            result.push_back(each.text);
    }
    return result;
}

int fake_controls::selection(int control) const {
    auto found = selections.find(control);
    return found == selections.end() ? LIST_ERROR : found->second;
}

void fake_controls::set_text(int control, const char* text) {
    texts[control] = text;
    if (edits.count(control) && on_edit_change)
        on_edit_change(control);
}

void fake_controls::read_text(int control, char out[TEXT_FIELD_MAX]) {
    const std::string& text = texts[control];
    size_t length = std::min(text.size(), static_cast<size_t>(TEXT_FIELD_MAX - 1));
    std::memcpy(out, text.data(), length);
    out[length] = '\0';
}

void fake_controls::enable(int control, bool enabled) {
    if (enabled)
        disabled.erase(control);
    else
        disabled.insert(control);
}

void fake_controls::list_reset(int control) {
    lists[control].clear();
    selections.erase(control);
}

int fake_controls::list_add(int control, const char* text) {
    std::vector<line>& list = lists[control];
    size_t index = list.size();
    if (sorted_lists.count(control)) {
        index = 0;
        while (index < list.size() && list[index].text <= text)
            ++index;
    }
    return list_insert(control, static_cast<int>(index), text);
}

int fake_controls::list_insert(int control, int index, const char* text) {
    std::vector<line>& list = lists[control];
    if (refuse_lines || accept_lines == 0 || index < 0 || static_cast<size_t>(index) > list.size())
        return LIST_ERROR;
    if (accept_lines > 0)
        --accept_lines;
    list.insert(list.begin() + index, line{text, nullptr});
    int selected = selection(control);
    if (selected != LIST_ERROR && selected >= index)
        selections[control] = selected + 1;
    if (on_new_line)
        on_new_line(control);
    return index;
}

void fake_controls::list_delete(int control, int index) {
    std::vector<line>& list = lists[control];
    if (index < 0 || static_cast<size_t>(index) >= list.size())
        return;
    list.erase(list.begin() + index);
    int selected = selection(control);
    if (selected == index)
        selections.erase(control);
    else if (selected > index)
        selections[control] = selected - 1;
}

int fake_controls::list_find(int control, const char* text) {
    std::vector<line>& list = lists[control];
    for (size_t i = 0; i < list.size(); ++i) {
        if (list[i].text == text)
            return static_cast<int>(i);
    }
    return LIST_ERROR;
}

void fake_controls::list_select(int control, int index) {
    if (index >= 0 && static_cast<size_t>(index) < lists[control].size())
        selections[control] = index;
    else
        selections.erase(control);
}

void* fake_controls::list_data(int control, int index) {
    std::vector<line>& list = lists[control];
    if (index < 0 || static_cast<size_t>(index) >= list.size())
        return nullptr;
    return list[index].data;
}

void fake_controls::list_set_data(int control, int index, void* data) {
    std::vector<line>& list = lists[control];
    if (index >= 0 && static_cast<size_t>(index) < list.size())
        list[index].data = data;
}
