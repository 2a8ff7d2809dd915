// nntrain: trains a two-hidden-layer tanh network on a protein database, or predicts with
// one weight file or the average of a list of them.  The run: command line, database and
// storage, then training or prediction.
#include "textio/error.hpp"
#include "trainer/nntrain.hpp"

int main(int argc, char** argv) {
    std::vector<std::string> words(argv + 1, argv + argc);
    return textio::run_main([&] {
        nntrain::State st;
        st.progress.enable_on_terminal();
        nntrain::readcmd(st, words);
        nntrain::init_all(st);
        nntrain::kelta2train(st);
    });
}
