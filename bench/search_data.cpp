// One account with many notes, for bench/search.sh: written straight into the
// database in one transaction (not through HTTP), the way a migration loads
// a copy, search index and tags included.
//
//   search_data --db FILE|URI --notes N [--seed S]
// makes the account "bench" (password "bench-pw") with N notes of about 300
// bytes, every second one Japanese, words drawn with the skew of real text
// (a few words very often, most rarely), one note in ten with a tag; then
// prints an access token of scope read for the searches.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "service/store.h"

namespace {

const char* const kEnglish[] = {
    "the",      "of",      "and",      "to",       "a",        "in",       "is",       "that",     "for",
    "it",       "as",      "was",      "with",     "be",       "by",       "on",       "not",      "he",
    "this",     "are",     "or",       "his",      "from",     "at",       "which",    "but",      "have",
    "an",       "had",     "they",     "you",      "were",     "their",    "one",      "all",      "we",
    "can",      "her",     "has",      "there",    "been",     "if",       "more",     "when",     "will",
    "would",    "who",     "so",       "no",       "meeting",  "project",  "report",   "budget",   "review",
    "release",  "server",  "client",   "update",   "version",  "issue",    "document", "schedule", "customer",
    "contract", "invoice", "design",   "feature",  "testing",  "deadline", "office",   "morning",  "evening",
    "weekend",  "holiday", "travel",   "ticket",   "station",  "airport",  "hotel",    "dinner",   "lunch",
    "coffee",   "recipe",  "garden",   "weather",  "rain",     "snow",     "summer",   "winter",   "spring",
    "autumn",   "book",    "article",  "chapter",  "question", "answer",   "problem",  "solution", "idea",
    "plan",     "team",    "manager",  "engineer", "designer", "student",  "teacher",  "doctor",   "friend",
    "family",   "phone",   "email",    "address",  "password", "network",  "database", "backup",   "install",
    "window",   "screen",  "keyboard", "printer",  "camera",   "picture",  "music",    "movie",    "game",
    "story",    "history", "science",  "language",
};
const char* const kJapanese[] = {
    "の",
    "に",
    "は",
    "を",
    "た",
    "が",
    "で",
    "て",
    "と",
    "し",
    "れ",
    "さ",
    "ある",
    "いる",
    "する",
    "から",
    "など",
    "まで",
    "こと",
    "もの",
    "会議",
    "予定",
    "資料",
    "確認",
    "連絡",
    "報告",
    "予算",
    "契約",
    "顧客",
    "案件",
    "東京都",
    "大阪",
    "京都",
    "新幹線",
    "駅",
    "空港",
    "旅行",
    "出張",
    "宿泊",
    "天気",
    "雨",
    "雪",
    "猫",
    "犬",
    "花",
    "桜",
    "紅葉",
    "料理",
    "昼食",
    "夕食",
    "珈琲",
    "お茶",
    "本",
    "記事",
    "章",
    "質問",
    "回答",
    "問題",
    "解決",
    "考え",
    "計画",
    "担当",
    "部長",
    "技術者",
    "学生",
    "先生",
    "医者",
    "友達",
    "家族",
    "電話",
    "メール",
    "住所",
    "パスワード",
    "ネットワーク",
    "データベース",
    "バックアップ",
    "インストール",
    "画面",
    "キーボード",
    "印刷",
    "写真",
    "音楽",
    "映画",
    "ゲーム",
    "物語",
    "歴史",
    "科学",
    "言葉",
    "プロジェクト会議",
    "週末",
    "朝",
    "夜",
    "今日",
    "明日",
    "昨日",
    "来週",
    "先月",
    "締め切り",
    "設計",
    "試験",
};
const char* const kTags[] = {"work", "home", "idea", "todo", "仕事", "買い物", "読書", "travel"};

// Picks index i with weight 1/(i+1): a few words often, most seldom.
class TZipf {
public:
  TZipf(size_t n, std::mt19937_64& random) : random_(random) {
    double sum = 0;
    for (size_t i = 0; i < n; ++i) cumulative_.push_back(sum += 1.0 / static_cast<double>(i + 1));
  }
  size_t Next() {
    double x = std::uniform_real_distribution<double>(0, cumulative_.back())(random_);
    return static_cast<size_t>(std::lower_bound(cumulative_.begin(), cumulative_.end(), x) - cumulative_.begin());
  }

private:
  std::mt19937_64& random_;
  std::vector<double> cumulative_;
};

}  // namespace

int main(int argc, char** argv) {
  std::string db;
  long notes = 0;
  unsigned long seed = 1;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--db")) db = argv[i + 1];
    if (!std::strcmp(argv[i], "--notes")) notes = std::atol(argv[i + 1]);
    if (!std::strcmp(argv[i], "--seed")) seed = std::strtoul(argv[i + 1], nullptr, 10);
  }
  if (db.empty() || notes <= 0) {
    std::fprintf(stderr, "usage: search_data --db FILE|URI --notes N [--seed S]\n");
    return 2;
  }
  try {
    pinleaf::TNoteStore store(db);
    // The account first, through the store (its password hashed as at sign-up),
    // then its notes loaded into the database as a migration loads them.
    std::optional<pinleaf::TUser> made = store.CreateUser("bench", "bench-pw");
    if (!made) {
      std::fprintf(stderr, "search_data: the database holds an account \"bench\" already\n");
      return 1;
    }
    std::vector<pinleaf::TUserRecord> users = store.Data().UserRecords();
    store.Data().DeleteUser("bench");
    std::mt19937_64 random(seed);
    TZipf english(std::size(kEnglish), random), japanese(std::size(kJapanese), random);
    std::uniform_int_distribution<int> length(150, 450), tag_pick(0, static_cast<int>(std::size(kTags)) - 1),
        tenth(0, 9);
    // Five years of notes, the newest now.
    const int64_t now = store.now_ms();
    const int64_t span = 5LL * 365 * 24 * 3600 * 1000;
    long made_notes = 0;
    auto next = [&] {
      std::vector<pinleaf::TNoteRecord> batch;
      for (; made_notes < notes && batch.size() < 5000; ++made_notes) {
        pinleaf::TNoteRecord r;
        r.user_id = users.at(0).id;
        pinleaf::TStoredNote& n = r.note;
        n.id = made_notes + 1;
        n.received_ms = now - span + span * made_notes / notes;
        bool ja = made_notes % 2 == 1;
        size_t want = static_cast<size_t>(length(random));
        while (n.body.size() < want) {
          if (ja) {
            n.body += kJapanese[japanese.Next()];
            if (tenth(random) == 0) n.body += "。";
          } else {
            n.body += (n.body.empty() ? "" : " ") + std::string(kEnglish[english.Next()]);
            if (tenth(random) == 0) n.body += ".";
          }
        }
        if (tenth(random) == 0) n.body += std::string(" #") + kTags[tag_pick(random)];
        char paper[32];
        std::snprintf(paper, sizeof paper, "%017lld", static_cast<long long>(20200101000000000LL + made_notes));
        n.paper_id = paper;
        n.color = 11270143u;
        r.body_hash = pinleaf::TNoteStore::NoteHash(pinleaf::TNote{"", n.body, n.color, n.paper_id});
        batch.push_back(std::move(r));
      }
      return batch;
    };
    store.Data().Load(users, next, {});
    auto token = store.CreateToken(users.at(0).id, "search bench", pinleaf::TScope::kRead);
    pinleaf::TStoreCounts counts = store.Data().Counts();
    std::fprintf(stderr, "search_data: %lld notes, %lld tags of notes\n", static_cast<long long>(counts.notes),
                 static_cast<long long>(counts.tags));
    std::printf("%s\n", token->first.c_str());
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "search_data: %s\n", e.what());
    return 1;
  }
}
