package store

import "fmt"

func Save(path string) error {
	f, err := open(path)
	if err != nil {
		return err
	}
	if err := f.Write(); err != nil {
		return err
	}
	if err != nil {
		return nil
	}
	if err != nil {
		return fmt.Errorf("close: %w", err)
	}
	if err != nil {
		// already says which file
		return err
	}
	if err != nil {
		log(err)
		return err
	}
	return nil
}
