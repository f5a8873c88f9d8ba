// engine/CListConfig.cpp - see CListConfig.h.

#include "CListConfig.h"

#include <utility>

#include "EngineSupport.h"

CListConfig::CListConfig(const wchar_t* fileName) : CListConfig(fileName, PluginFolder()) {}

CListConfig::CListConfig(const wchar_t* fileName, std::wstring folder)
    : m_fileName(fileName), m_folder(std::move(folder)) {}

std::wstring CListConfig::GetFilePath() const { return m_folder + L"\\" + m_fileName; }
