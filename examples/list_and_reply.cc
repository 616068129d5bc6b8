// Lists the subjects of a message base and replies to its first message.
//
//   list_and_reply BASE_PATH      (the path without extension)

#include <iostream>

#include "drayline/message.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: list_and_reply BASE_PATH\n";
    return 2;
  }
  drayline::Status status;
  std::unique_ptr<drayline::Base> base = drayline::Base::Open(argv[1], &status);
  if (base == nullptr) {
    std::cerr << argv[1] << ": " << status.text() << "\n";
    return 1;
  }
  drayline::Message m, first;
  for (drayline::MessageIterator it = base->Messages(); it.Next(&m);) {
    if (first.number == 0) first = m;
    std::cout << m.number << " " << m.subject << "\n";
  }
  if (first.number == 0) return 0;  // nothing to reply to
  drayline::Message reply;
  reply.from = first.to;
  reply.to = first.from;
  reply.subject = "Re: " + first.subject;
  reply.reply_to = first.number;
  reply.text = "Thank you for your message.\r";
  status = base->Store(reply);
  if (!status.ok()) std::cerr << argv[1] << ": " << status.text() << "\n";
  return status.ok() ? 0 : 1;
}
